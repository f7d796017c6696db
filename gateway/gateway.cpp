#include "gateway/gateway.h"

#include "engine/client.h"
#include "engine/failuretable.h"
#include "engine/session.h"
#include "protocol/frames.h"

#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <set>
#include <utility>

namespace gateway {

namespace mbap = protocol::mbap;

Gateway::Gateway(engine::Client &client, mbap::GatewayPolicy policy, QObject *parent)
    : QObject(parent), m_ownSession(std::make_unique<engine::Session>(client)),
      m_session(*m_ownSession), m_client(client), m_clientAlive(&client),
      m_caller(m_session.addCaller()), m_policy(std::move(policy))
{
    fillPolicy();
}

Gateway::Gateway(engine::Session &session, engine::Client &client, mbap::GatewayPolicy policy,
                 QObject *parent)
    : QObject(parent), m_session(session), m_client(client), m_clientAlive(&client),
      m_caller(m_session.addCaller()), m_policy(std::move(policy))
{
    fillPolicy();
}

void Gateway::fillPolicy()
{
    if (m_policy.largestVoltageCount <= 0) {
        m_policy.largestVoltageCount = protocol::kLargestVoltageCode;
    }
    if (m_policy.largestCurrentCount <= 0) {
        m_policy.largestCurrentCount = protocol::kLargestCurrentCode;
    }
}

Gateway::~Gateway()
{
    // What waits is withdrawn; what is on the line finishes there, unheard.
    *m_alive = false;
    for (const int relay : m_relays) {
        m_session.abortRelay(relay);
    }
    if (m_namesVerdicts && m_clientAlive) {
        m_client.ceilings().setChanged(nullptr);
    }
}

void Gateway::setNamesVerdicts(bool names)
{
    if (names == m_namesVerdicts) {
        return;
    }
    m_namesVerdicts = names;
    m_client.ceilings().setChanged(
        names ? std::function<void(std::uint8_t, engine::CeilingKind)>(
                    [this](std::uint8_t address, engine::CeilingKind kind) {
                        tellCeiling(address, kind);
                    })
              : nullptr);
}

int Gateway::open(Hooks hooks)
{
    const int id = ++m_lastId;
    Connection &connection = m_connections[id];
    connection.hooks = std::move(hooks);
    if (m_namesVerdicts && connection.hooks.send) {
        // What the line holds now; changes follow as they come.
        std::set<std::pair<std::uint8_t, engine::CeilingKind>> told;
        for (const engine::HeldCeiling &held : m_client.ceilings().held()) {
            if (told.insert({held.address, held.kind}).second) {
                connection.hooks.send(ceilingNote(held.address, held.kind));
            }
        }
    }
    return id;
}

QByteArray Gateway::ceilingNote(std::uint8_t address, engine::CeilingKind kind) const
{
    const auto tightest = m_client.ceilings().tightest(address, kind);
    const mbap::Bytes pdu =
        tightest
            ? mbap::holdPdu({kind, static_cast<std::uint16_t>(std::min(tightest->value, 0xFFFF)),
                             tightest->pid, tightest->holder})
            : mbap::releasePdu(kind);
    const mbap::Bytes adu = mbap::encode({0, address, pdu});
    return QByteArray(reinterpret_cast<const char *>(adu.data()),
                      static_cast<qsizetype>(adu.size()));
}

void Gateway::tellCeiling(std::uint8_t address, engine::CeilingKind kind)
{
    const QByteArray note = ceilingNote(address, kind);
    for (auto &[id, connection] : m_connections) {
        if (connection.hooks.send) {
            connection.hooks.send(note);
        }
    }
}

Gateway::Connection *Gateway::find(int id)
{
    const auto found = m_connections.find(id);
    return found == m_connections.end() ? nullptr : &found->second;
}

bool Gateway::working(int id) const
{
    const auto found = m_connections.find(id);
    return found != m_connections.end() &&
           (found->second.relay != 0 || !found->second.waiting.empty());
}

std::size_t Gateway::pending(int id) const
{
    const auto found = m_connections.find(id);
    if (found == m_connections.end()) {
        return kWaitingRequests;
    }
    return found->second.waiting.size() + (found->second.relay != 0 ? 1 : 0);
}

void Gateway::receive(int id, const QByteArray &bytes)
{
    Connection *c = find(id);
    if (!c) {
        return;
    }
    c->reader.feed(reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                   static_cast<std::size_t>(bytes.size()));
    while (auto adu = c->reader.next()) {
        if (takeCeiling(*c, *adu) || takeReplyWait(*c, *adu)) {
            continue;
        }
        if (c->waiting.size() >= kWaitingRequests) {
            closeLater(id, QStringLiteral("more than %1 requests waiting").arg(kWaitingRequests));
            return;
        }
        ++m_stats.requests;
        if (m_namesVerdicts) {
            notify(*c, *adu, mbap::NoticeStage::Queued);
        }
        c->waiting.push_back(std::move(*adu));
    }
    if (c->reader.malformed()) {
        // Nothing after a bad header can be framed: the connection goes, its
        // waiting requests unanswered.
        closeLater(id, QStringLiteral("malformed MBAP header (%1)")
                           .arg(QString::fromStdString(c->reader.why())));
        return;
    }
    pump();
}

void Gateway::close(int id)
{
    Connection *c = find(id);
    if (!c) {
        return;
    }
    forget(*c);
    // Withdrawn before its turn on the line, it is never sent; one on the line
    // finishes there, and its answer finds no connection.
    if (c->relay != 0 && m_session.abortRelay(c->relay)) {
        m_relays.erase(c->relay);
    }
    m_connections.erase(id);
}

void Gateway::forget(Connection &connection)
{
    // It hears nothing more, not even of its own ceilings going.
    connection.hooks.send = nullptr;
    if (connection.ceilingSource != 0) {
        m_client.ceilings().dropSource(connection.ceilingSource);
        connection.ceilingSource = 0;
    }
}

bool Gateway::takeCeiling(Connection &connection, const mbap::Adu &request)
{
    // A network client's frames of these functions are refused as unknown, in turn.
    if (!m_namesVerdicts || request.pdu.empty()) {
        return false;
    }
    engine::CeilingRegistry &ceilings = m_client.ceilings();
    if (request.pdu[0] == mbap::kHoldCeiling) {
        if (const auto hold = mbap::readHold(request.pdu)) {
            if (connection.ceilingSource == 0) {
                connection.ceilingSource = ceilings.addSource(false);
            }
            ceilings.hold(connection.ceilingSource, request.unit, hold->kind, hold->value,
                          hold->holder, hold->pid);
        }
        return true;
    }
    if (request.pdu[0] == mbap::kReleaseCeiling) {
        const auto kind = mbap::readRelease(request.pdu);
        if (kind && connection.ceilingSource != 0) {
            ceilings.release(connection.ceilingSource, request.unit, *kind);
        }
        return true;
    }
    return false;
}

bool Gateway::takeReplyWait(Connection &connection, const mbap::Adu &request)
{
    // To a network client it is a function like any other it does not serve.
    if (!m_namesVerdicts || request.pdu.empty() || request.pdu[0] != mbap::kReplyWait) {
        return false;
    }
    if (const auto wait = mbap::readReplyWait(request.pdu)) {
        connection.timeout = std::chrono::milliseconds(wait->timeoutMs);
        connection.firstByte = wait->firstByteMs == 0
                                   ? std::nullopt
                                   : std::optional<std::chrono::milliseconds>(
                                         std::chrono::milliseconds(wait->firstByteMs));
    }
    return true;
}

void Gateway::closeLater(int id, const QString &why)
{
    Connection *c = find(id);
    if (!c) {
        return;
    }
    auto hook = c->hooks.close;
    forget(*c);
    m_connections.erase(id);
    if (hook) {
        QMetaObject::invokeMethod(
            this, [hook, why] { hook(why); }, Qt::QueuedConnection);
    }
}

void Gateway::pump()
{
    if (m_pumping) {
        return;
    }
    m_pumping = true;
    // Each connection with nothing owed and room for an answer hands on its next
    // request; one answered at once (refused here) lets the next one go too.
    for (bool served = true; served;) {
        served = false;
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            const int id = it->first;
            Connection &c = it->second;
            ++it;
            if (c.relay != 0 || c.waiting.empty() || (c.hooks.ready && !c.hooks.ready())) {
                continue;
            }
            if (c.hooks.alive && !c.hooks.alive()) {
                // It has gone, though its loss is not yet reported: nothing it left
                // behind goes to the line, and its ceilings go with it.
                forget(c);
                m_connections.erase(id);
                continue;
            }
            mbap::Adu request = std::move(c.waiting.front());
            c.waiting.pop_front();
            serve(id, c, std::move(request));
            served = true;
        }
    }
    m_pumping = false;
}

void Gateway::serve(int id, Connection &connection, mbap::Adu request)
{
    // The supply's own limits here; a ceiling held on the line is the client's to
    // judge, when the write is queued and when it goes out.
    mbap::GatewayVerdict verdict = mbap::judgeGatewayRequest(request, m_policy);
    if (!verdict.exception.empty()) {
        ++m_stats.refused;
        answer(connection, request, std::move(verdict.exception));
        return;
    }
    ++m_stats.relayed;
    // Waiting for the supply a joined program's own time: its timeout holds on
    // this line as on a line of its own.
    engine::RelayRequest relay;
    relay.unit = verdict.rtu[0];
    relay.pdu = mbap::pduOf(verdict.rtu);
    relay.timeout = connection.timeout;
    relay.firstByte = connection.firstByte;
    // The session's number, once it is known; -1 once answered (a line may
    // answer before the number comes back).
    auto number = std::make_shared<int>(0);
    const auto alive = m_alive;
    auto sent = [this, alive, id, request] {
        Connection *c = *alive ? find(id) : nullptr;
        if (c && m_namesVerdicts) {
            notify(*c, request, mbap::NoticeStage::OnLine);
        }
    };
    auto done = [this, alive, id, request, number](const engine::LineAnswer &answer) {
        if (!*alive) {
            return;
        }
        m_relays.erase(*number);
        *number = -1;
        finished(id, request, answer);
        pump();
    };
    connection.relay = -1; // owed, whatever the session does inside the call
    const int relayed =
        m_session.relay(m_caller, std::move(relay), std::move(sent), std::move(done));
    if (*number == 0) {
        *number = relayed;
        m_relays.insert(relayed);
        if (Connection *c = find(id)) {
            c->relay = relayed;
        }
    }
}

void Gateway::finished(int id, const mbap::Adu &request, const engine::LineAnswer &reply)
{
    Connection *c = find(id);
    if (!c) {
        return; // it has gone: the answer goes nowhere
    }
    c->relay = 0;
    const std::uint8_t function = request.pdu[0];
    switch (reply.failure.error) {
    case engine::Error::None: {
        const QByteArray &bytes = reply.bytes;
        const protocol::Frame frame(bytes.begin(), bytes.end());
        answer(*c, request, mbap::pduOf(frame));
        return;
    }
    case engine::Error::Refused:
        // A ceiling held on the line: nothing went out after all.
        --m_stats.relayed;
        ++m_stats.refused;
        if (m_namesVerdicts) {
            answer(*c, request, mbap::refusalPdu(function, reply.failure.detail.toStdString()));
            return;
        }
        break;
    default:
        break;
    }
    // The table's exception: the supply's own, 3 for a refusal, 0x0B for no answer,
    // one that failed its checks, the port away or a stop.
    const engine::Error error = reply.failure.error;
    const int exception = engine::facesOf(error).modbusException;
    if (exception == engine::kSupplysOwnException) {
        answer(
            *c, request,
            mbap::exceptionPdu(function, static_cast<std::uint8_t>(reply.failure.exceptionCode)));
        return;
    }
    mbap::Bytes pdu = mbap::exceptionPdu(function, static_cast<std::uint8_t>(exception));
    if (error != engine::Error::Refused) {
        ++m_stats.failed;
        if (m_namesVerdicts) {
            pdu.push_back(engine::verdictByte(error));
        }
    }
    answer(*c, request, std::move(pdu));
}

void Gateway::notify(Connection &connection, const mbap::Adu &request, mbap::NoticeStage stage)
{
    const mbap::Bytes bytes =
        mbap::encode({request.transaction, request.unit, mbap::noticePdu(stage)});
    if (connection.hooks.send) {
        connection.hooks.send(QByteArray(reinterpret_cast<const char *>(bytes.data()),
                                         static_cast<qsizetype>(bytes.size())));
    }
}

void Gateway::answer(Connection &connection, const mbap::Adu &request, mbap::Bytes pdu)
{
    const mbap::Bytes bytes = mbap::encode({request.transaction, request.unit, std::move(pdu)});
    if (connection.hooks.send) {
        connection.hooks.send(QByteArray(reinterpret_cast<const char *>(bytes.data()),
                                         static_cast<qsizetype>(bytes.size())));
    }
    if (auto hook = connection.hooks.answered) {
        QMetaObject::invokeMethod(this, hook, Qt::QueuedConnection);
    }
}

} // namespace gateway
