#pragma once

#include "gateway/gateway.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <chrono>
#include <map>

namespace supply {

class Client;
class SharedPort;

// Offers the line of a SharedPort that owns its device to the other programs of
// ours: a local server (lineSocketName) and a transparent Modbus TCP gateway onto
// the owner's client. Every unit 1..247 is served and the address register may
// be written; a write's own checks still apply, and each failure's verdict is
// named. It listens while the port owns its device and closes when it stops (the
// port closes its device first, so that a joiner can take it over at once).
class LineHost : public QObject {
    Q_OBJECT
public:
    // Answers waiting unread on one connection; more and it is served no more
    // until it reads them.
    static constexpr qint64 kUnreadAnswers = 4096;

    LineHost(SharedPort &port, Client &client, QObject *parent = nullptr);
    ~LineHost() override;

    bool isListening() const { return m_server.isListening(); }
    int connections() const { return static_cast<int>(m_connections.size()); }
    const Gateway::Stats &stats() const { return m_gateway.stats(); }
    // Requests taken from joiners wait for the line or are on it.
    bool relaying() const;
    // For a program on its way out, before it closes the port: takes no more
    // requests from joiners, and runs the event loop until those already taken
    // are answered, or for `within` at most, so that a joiner's request on the
    // line when the owner ends is answered by it rather than asked again of the
    // next owner. What a joiner sends meanwhile waits for the next owner.
    void finishTaken(std::chrono::milliseconds within);

signals:
    // A joiner was closed (garbage, a flood), with the reason.
    void dropped(const QString &why);

private:
    void follow();
    void listen(const QString &name);
    void stop();
    void accept();
    void drop(QLocalSocket *socket);

    SharedPort &m_port;
    Gateway m_gateway;
    QLocalServer m_server;
    std::map<QLocalSocket *, int> m_connections;
    bool m_finishing = false;
};

} // namespace supply
