#pragma once

#include "engine/ceilingregistry.h"

#include <QObject>

namespace engine {

class MbapPort;

// Registers a program's own ceilings with the program of ours that owns its line,
// while it joins one: each change as it comes, and all of them again whenever the
// line changes hands, so that a new owner holds them too. A program that owns the
// line keeps them in its own registry, which its client checks. Over a port of
// another kind (a network gateway) nothing is sent: a gateway not ours keeps no
// ceilings of ours.
class CeilingLink : public QObject {
    Q_OBJECT
public:
    CeilingLink(CeilingRegistry &registry, MbapPort &port, QObject *parent = nullptr);
    ~CeilingLink() override;

private:
    bool joined() const;
    void send(std::uint8_t address, CeilingKind kind);
    void sendAll();

    CeilingRegistry &m_registry;
    MbapPort &m_port;
};

} // namespace engine
