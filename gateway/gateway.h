#pragma once

#include "protocol/mbap.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

namespace engine {
class Client;
struct LineAnswer;
class Session;
} // namespace engine

namespace gateway {

// A Modbus TCP gateway onto the engine's line: connections of any kind (a TCP
// socket, a local socket, a test's lambdas) hand it their bytes and get MBAP
// answers back. Each request is relayed through the program's supply session
// (Session::relay), which queues them with every other face's work; a
// connection has at most one request there at a time and the rest wait here
// unread, so that a connection that floods waits behind every other one and
// the session's other callers (a SCPI instrument, the page's rounds) keep their
// share. A connection's answers go out in the order of its requests, each with
// its transaction id.
//
// Each request is judged by protocol::mbap::judgeGatewayRequest when its turn
// comes; what it lets through goes to the session, whose answer becomes the
// gateway's: the supply's reply, its exception, or 0x0B (no answer, a reply
// that failed its checks, the port away, dropped by an all-off).
//
// Relays go to the client as a caller of their own: a stop of the program that
// hosts the gateway ends the program's own requests, not the ones it relays. A
// connection that has gone has nothing more sent for it, even when its loss is
// not yet reported: `alive` is asked before each of its requests goes to the
// session.
class Gateway : public QObject {
    Q_OBJECT
public:
    // What the gateway needs of a connection. `send` writes bytes; `ready` says
    // whether the connection may be served now (false while its answers pile up);
    // `answered` comes after each answer; `close` asks for the connection to be
    // closed (a malformed stream, or too many requests waiting), with the reason.
    // `answered` and `close` come from the event loop, never from inside a call.
    // `alive`, when given, says whether the far end is still there.
    struct Hooks {
        std::function<void(const QByteArray &)> send;
        std::function<bool()> ready;
        std::function<void()> answered;
        std::function<void(const QString &why)> close;
        std::function<bool()> alive = nullptr;
    };

    // Requests of one connection that wait their turn; one more closes it.
    static constexpr std::size_t kWaitingRequests = 256;

    // `policy` names the served units and whether the address register may be
    // written; its largest set values are the supply's own when left at 0. The
    // requests go through `session`, a session over `client`'s line; both must
    // outlive the gateway. `client` holds the line's ceilings.
    Gateway(engine::Session &session, engine::Client &client, protocol::mbap::GatewayPolicy policy,
            QObject *parent = nullptr);
    // The same through a session of its own over `client`.
    Gateway(engine::Client &client, protocol::mbap::GatewayPolicy policy,
            QObject *parent = nullptr);
    ~Gateway() override;

    // Every 0x0B answer carries the verdict's byte after its code (verdictByte),
    // a write refused by a ceiling is answered kRefused with its text,
    // connections may hold ceilings on the client's line (kHoldCeiling), which go
    // with the connection, and each request is given notice of when it was queued
    // and when it went on the line (protocol::mbap::noticePdu): for connections of
    // our own programs only. Without it a refused write is kIllegalDataValue, and
    // those functions are unknown. Such connections also hear the tightest
    // ceiling of each kind on each address, as the same messages, when it changes
    // and once when they connect, so that a joined program shows what the line holds.
    void setNamesVerdicts(bool names);

    // A new connection; its id for the calls below.
    int open(Hooks hooks);
    // Bytes from the connection, in whatever pieces they come.
    void receive(int id, const QByteArray &bytes);
    // The connection has gone: its waiting requests are dropped, and so is one
    // the session holds that has not gone out yet; one on the line finishes
    // there, and its answer goes nowhere.
    void close(int id);
    // Serves whoever may be served; call when a connection becomes ready again.
    void pump();

    // The connection has requests waiting or on the line.
    bool working(int id) const;
    // Its requests waiting or on the line; kWaitingRequests for one that has
    // gone (it takes nothing more).
    std::size_t pending(int id) const;
    // A request it relayed waits in the session or is on the line.
    bool busy() const { return !m_relays.empty(); }

    struct Stats {
        long requests = 0; // whole requests taken
        long relayed = 0;  // sent to the line
        long refused = 0;  // answered with an exception without the line
        long failed = 0;   // sent, and answered 0x0B
    };
    const Stats &stats() const { return m_stats; }

private:
    struct Connection {
        Hooks hooks;
        protocol::mbap::StreamReader reader;
        std::deque<protocol::mbap::Adu> waiting;
        int relay = 0;         // the session's number of its request owed an answer
        int ceilingSource = 0; // its ceilings in the client's registry; 0 before its first
        // The joined program's own wait for a reply (kReplyWait); the client's
        // until it says.
        std::optional<std::chrono::milliseconds> timeout;
        std::optional<std::chrono::milliseconds> firstByte;
    };

    void fillPolicy();
    Connection *find(int id);
    void serve(int id, Connection &connection, protocol::mbap::Adu request);
    void finished(int id, const protocol::mbap::Adu &request, const engine::LineAnswer &reply);
    void answer(Connection &connection, const protocol::mbap::Adu &request,
                protocol::mbap::Bytes pdu);
    void notify(Connection &connection, const protocol::mbap::Adu &request,
                protocol::mbap::NoticeStage stage);
    void closeLater(int id, const QString &why);
    // A joined program's ceiling held or released (kHoldCeiling, kReleaseCeiling):
    // true when `request` was one, taken at once and not answered.
    bool takeCeiling(Connection &connection, const protocol::mbap::Adu &request);
    // A joined program's wait for its replies (kReplyWait): true when `request`
    // was one, taken at once and not answered. It holds for the requests after it.
    bool takeReplyWait(Connection &connection, const protocol::mbap::Adu &request);
    void forget(Connection &connection);
    // The line's tightest ceiling of `kind` on `address` (kHoldCeiling, or
    // kReleaseCeiling when none is held), to a connection of ours.
    QByteArray ceilingNote(std::uint8_t address, protocol::mbap::CeilingKind kind) const;
    void tellCeiling(std::uint8_t address, protocol::mbap::CeilingKind kind);

    std::unique_ptr<engine::Session> m_ownSession; // before m_session, which may refer to it
    engine::Session &m_session;
    engine::Client &m_client;
    // Whether the client is still there when the gateway goes: a window's line
    // host may outlive the client it serves.
    QPointer<engine::Client> m_clientAlive;
    int m_caller = 0; // the session's caller id of the relayed requests
    protocol::mbap::GatewayPolicy m_policy;
    std::map<int, Connection> m_connections;
    int m_lastId = 0;
    std::set<int> m_relays; // the session's numbers of relays not yet answered
    bool m_pumping = false;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    bool m_namesVerdicts = false;
    Stats m_stats;
};

} // namespace gateway
