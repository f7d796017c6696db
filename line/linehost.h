#pragma once

#include "gateway/gateway.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <QTimer>

#include <chrono>
#include <functional>
#include <map>

namespace engine {
class Client;
} // namespace engine

namespace line {

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
    // Answers waiting unread on one connection; more and it is served no more,
    // nor read, until it reads them.
    static constexpr qint64 kUnreadAnswers = 4096;
    // What the owner holds of a joiner's requests: its socket's read buffer,
    // the piece taken from it at a time, and the requests taken and waiting for
    // the line beyond which it is read no more. A joiner that sends faster than
    // it is answered waits in the system's socket buffer, as a TCP client does;
    // a piece holds fewer whole requests than Gateway::kWaitingRequests.
    static constexpr qint64 kReadBuffer = 16 * 1024;
    static constexpr qint64 kReadPiece = 1024;
    static constexpr std::size_t kTakenRequests = 16;
    // How much longer than a request's timeout an owner on its way out gives the
    // requests it has taken from the programs that joined it: a reply's last
    // bytes and the answer's way back over the local socket.
    static constexpr std::chrono::milliseconds kFinishMargin{200};

    LineHost(SharedPort &port, engine::Client &client, QObject *parent = nullptr);
    ~LineHost() override;

    bool isListening() const { return m_server.isListening(); }
    int connections() const { return static_cast<int>(m_connections.size()); }
    const gateway::Gateway::Stats &stats() const { return m_gateway.stats(); }
    // Requests taken from joiners wait for the line or are on it.
    bool relaying() const;
    // For an owner on its way out, before it closes the port: takes no more
    // requests from joiners, lets those already taken be answered on the event
    // loop, and calls `done` from the event loop once they are, or after
    // `within` at most, so that a joiner's request on the line when the owner
    // leaves is answered by it rather than asked again of the next owner. What a
    // joiner sends meanwhile, and a program that connects meanwhile, wait for
    // the next owner. Nothing waits here: the call returns at once.
    void finish(std::chrono::milliseconds within, std::function<void()> done);
    // A finish under way ends now: `done` is called before this returns.
    void finishNow();
    // The owner keeps the line after all: requests of joiners are taken again,
    // those that waited meanwhile included; a finish under way ends without its
    // `done`.
    void resume();

signals:
    // A joiner was closed (garbage, a flood), with the reason.
    void dropped(const QString &why);

private:
    void follow();
    void listen(const QStringList &names);
    void stop();
    void accept();
    // Takes the requests that come on `socket`.
    void watch(QLocalSocket *socket);
    // Reads what `socket` has sent, while it may be answered: nothing while a
    // finish is under way, its answers wait unread, or enough of its requests
    // wait for the line.
    void take(QLocalSocket *socket);
    void drop(QLocalSocket *socket);
    // Ends a finish under way once nothing taken is left (or at once with
    // `now`): the answers are handed to the sockets, then `done` is called.
    void settle(bool now);
    void settleLater();

    SharedPort &m_port;
    gateway::Gateway m_gateway;
    QLocalServer m_server;
    std::map<QLocalSocket *, int> m_connections;
    bool m_finishing = false;
    std::function<void()> m_finished; // the caller's `done` while a finish is under way
    QTimer m_finishBound;
};

} // namespace line
