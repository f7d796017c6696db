#pragma once

#include "engine/client.h"
#include "engine/session.h"

#include <QPointer>

#include <cstdint>

namespace bus {

// The line of the bus window's session: an engine client's, shared with whatever
// else uses it (the main window's own poll). A client that goes away takes its
// queued requests with it, uncalled, and every later request ends with the port
// lost: the owner stops polling when the port closes.
class ClientLine : public engine::SessionLine {
public:
    explicit ClientLine(engine::Client &client);

    void readStatus(std::uint8_t address, Done done) override;
    void write(const protocol::Frame &request, Done done) override;

    engine::Client *client() const { return m_client; }

private:
    QPointer<engine::Client> m_client;
};

} // namespace bus
