#include "line/enginecommcontrol.h"

#include "engine/client.h"
#include "line/linehost.h"
#include "line/networkport.h"
#include "line/sharedport.h"
#include "protocol/frame.h"
#include "protocol/frames.h"
#include "serial/makecommcontrol.h"
#include "serial/portnames.h"

#include <QCoreApplication>
#include <QScopedValueRollback>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace line {

namespace {

protocol::Frame frameOf(const QByteArray &bytes)
{
    const auto *data = reinterpret_cast<const std::uint8_t *>(bytes.constData());
    return protocol::Frame(data, data + bytes.size());
}

bool isStatusRead(const protocol::Frame &frame)
{
    return frame.size() == protocol::kRequestSize &&
           frame == protocol::buildReadStatusRequest(frame[0]);
}

bool isRegisterWrite(const protocol::Frame &frame)
{
    return frame.size() == protocol::kRequestSize && frame[1] == protocol::kWriteSingleRegister &&
           protocol::crcOk(frame);
}

// Outcomes that leave bytes on the line for the window to judge; a timeout, a
// failed port or a stop leave none.
bool bringsBytes(engine::Error error)
{
    switch (error) {
    case engine::Error::None:
    case engine::Error::Crc:
    case engine::Error::Foreign:
    case engine::Error::Short:
    case engine::Error::Exception:
        return true;
    case engine::Error::Timeout:
    case engine::Error::Port:
    case engine::Error::Interrupted:
    case engine::Error::Refused:
    case engine::Error::NotConfirmed:
    case engine::Error::Undecoded:
        return false;
    }
    return false;
}

} // namespace

EngineCommControl::EngineCommControl(serial::CommControl &port, engine::Client &client,
                                     QObject *parent)
    : BufferedCommControl(parent), m_serialPort(port), m_serialClient(client), m_port(&port),
      m_client(&client), m_networkTargets([](int n) { return serial::networkTarget(n); })
{
    m_releaseBound.setSingleShot(true);
    connect(&m_releaseBound, &QTimer::timeout, this, &EngineCommControl::letGo);
    watchLoss(m_serialPort);
}

void EngineCommControl::watchLoss(serial::CommControl &port)
{
    connect(&port, &serial::CommControl::portLost, this, [this, &port](const QString &reason) {
        if (m_releasing && &port == &m_serialPort) {
            // The window closed it already: the release ends, unheard.
            letGo();
            return;
        }
        if (&port == m_port) {
            dropOutstanding();
            deviceLost(reason);
        }
    });
}

void EngineCommControl::setNetworkTargets(std::function<QString(int)> targets)
{
    m_networkTargets = std::move(targets);
}

void EngineCommControl::useSerialLine()
{
    m_port = &m_serialPort;
    m_client = &m_serialClient;
}

void EngineCommControl::useNetworkLine(const QString &target)
{
    QString why;
    const std::optional<values::NetworkAddress> address = values::parseNetworkAddress(target, &why);
    if (!address) {
        throw serial::CommError(serial::kErrPortNotFound,
                                (target + QStringLiteral(": ") + why).toStdString());
    }
    // The last network line's client goes before its port; replies still held
    // for it were let go when it closed.
    m_netClient.reset();
    auto port = std::make_unique<TcpPort>(*address);
    port->setOpensLater(true);
    port->setHostLookup(m_hostLookup);
    connect(port.get(), &serial::CommControl::openEnded, this,
            [this, net = port.get()](int error, const QString &reason) {
                if (net != m_port) {
                    return;
                }
                if (error == 0) {
                    // The first request waits for a quiet line and drops what waited.
                    m_client->start();
                }
                deviceOpenEnded(error, reason);
            });
    m_netPort = std::move(port);
    m_netClient = std::make_unique<engine::Client>(*m_netPort);
    watchLoss(*m_netPort);
    m_port = m_netPort.get();
    m_client = m_netClient.get();
}

EngineCommControl::~EngineCommControl()
{
    dropOutstanding();
    releaseDelivered();
    endRelease();
    resumeOwn();
}

void EngineCommControl::setLineHost(LineHost *host)
{
    m_host = host;
}

void EngineCommControl::nameNewAdapters()
{
    m_serialPort.nameNewAdapters();
}

int EngineCommControl::probePort(int port)
{
    const QString target = m_networkTargets ? m_networkTargets(port) : QString();
    if (target.isEmpty()) {
        return m_serialPort.probePort(port);
    }
    QString why;
    const std::optional<values::NetworkAddress> address = values::parseNetworkAddress(target, &why);
    if (!address) {
        return serial::kErrPortNotFound;
    }
    TcpPort probe(*address);
    return probe.probePort(port);
}

int EngineCommControl::requestsOutstanding() const
{
    return static_cast<int>(
        std::count_if(m_outstanding.begin(), m_outstanding.end(),
                      [](const QPointer<engine::Reply> &r) { return !r.isNull(); }));
}

void EngineCommControl::openDevice(int port)
{
    const QString target = m_networkTargets ? m_networkTargets(port) : QString();
    if (m_releasing && target.isEmpty()) {
        if (port == m_serialPort.CommPort() && m_host) {
            // Still this program's line: taken up where it is, with the joiners'
            // requests, and without a quiet start, as nobody else had it.
            endRelease();
            m_host->resume();
            resumeOwn();
            useSerialLine();
            m_port->setSettings(Settings());
            return;
        }
        // Another device: this one goes first. What its joiners still wait for
        // is asked again of the next owner.
        if (m_host) {
            m_host->finishNow();
        }
        letGo();
    }
    if (target.isEmpty()) {
        useSerialLine();
    } else {
        useNetworkLine(target);
    }
    m_port->setSettings(Settings());
    m_port->setCommPort(port);
    m_port->setPortOpen(true);
    if (m_port->PortOpening()) {
        return; // the client starts once the open has ended well
    }
    // The first request waits for a quiet line and drops what waited.
    m_client->start();
}

void EngineCommControl::closeDevice()
{
    dropOutstanding();
    releaseDelivered();
    if (m_port == &m_serialPort && m_host && m_serialPort.PortOpen() && m_host->relaying()) {
        // Requests of programs that joined this line are on it or wait for it:
        // they are answered here before the line goes to one of them. Nothing of
        // the program's own goes out meanwhile (the bus window's polls end too).
        beginRelease();
        if (!m_serialClient.interrupted()) {
            m_serialClient.interrupt();
            m_ownStopped = true;
        }
        m_host->finish(m_serialClient.timeout() + LineHost::kFinishMargin,
                       [self = QPointer<EngineCommControl>(this)] {
                           if (self) {
                               self->letGo();
                           }
                       });
        return;
    }
    if (m_port->PortOpen() || m_port->PortOpening()) {
        m_port->setPortOpen(false);
    }
}

void EngineCommControl::probeDevice(int port)
{
    if (const int error = probePort(port); error != 0) {
        throw serial::CommError(error, "The port could not be opened");
    }
}

bool EngineCommControl::deviceIsOpen() const
{
    return !(m_releasing && m_port == &m_serialPort) && m_port->PortOpen();
}

void EngineCommControl::letGo()
{
    if (!m_releasing) {
        return;
    }
    m_releasing = false;
    resumeOwn();
    try {
        if (m_serialPort.PortOpen()) {
            m_serialPort.setPortOpen(false);
        }
    } catch (const serial::CommError &) {
        // Closed as far as it can be.
    }
    endRelease();
    emit released();
}

void EngineCommControl::beginRelease()
{
    m_releasing = true;
    // One lock for the whole release: letting one go could quit at once.
    if (QCoreApplication::instance() && !m_quitLock) {
        m_quitLock.emplace();
    }
    // The host ends the release within its bound; should it be gone, this does.
    m_releaseBound.start(2 * (m_serialClient.timeout() + LineHost::kFinishMargin));
}

void EngineCommControl::endRelease()
{
    m_releasing = false;
    m_releaseBound.stop();
    // An application whose last window has closed quits now, on its event loop.
    m_quitLock.reset();
}

void EngineCommControl::resumeOwn()
{
    if (std::exchange(m_ownStopped, false)) {
        m_serialClient.resume();
    }
}

bool EngineCommControl::deviceIsOpening() const
{
    return m_port->PortOpening();
}

void EngineCommControl::applyLineSettings()
{
    m_port->setSettings(Settings());
}

void EngineCommControl::writeDevice(const QByteArray &bytes)
{
    const protocol::Frame frame = frameOf(bytes);
    const bool read = isStatusRead(frame);
    if (!read && !isRegisterWrite(frame)) {
        throw serial::CommError(serial::kErrInvalidValue,
                                "Only status reads and register writes go to the supply");
    }
    withdrawWaitingReads();
    releaseDelivered();
    engine::Reply *reply = read ? m_client->readStatus(frame[0]) : m_client->write(frame);
    m_outstanding.emplace_back(reply);
    connect(reply, &engine::Reply::finished, this, [this, reply] { onFinished(reply); });
}

void EngineCommControl::withdrawWaitingReads()
{
    // A reply that was deleted before its request went out is skipped by the
    // client; one already on the line is left to end, and its bytes still come.
    for (QPointer<engine::Reply> &reply : m_outstanding) {
        if (reply && !reply->sentAt().isValid() && isStatusRead(reply->request())) {
            delete reply.data();
        }
    }
    m_outstanding.erase(std::remove(m_outstanding.begin(), m_outstanding.end(), nullptr),
                        m_outstanding.end());
}

void EngineCommControl::onFinished(engine::Reply *reply)
{
    m_outstanding.erase(std::remove(m_outstanding.begin(), m_outstanding.end(), reply),
                        m_outstanding.end());
    releaseDelivered();
    m_delivered = reply;
    // The window's handlers run inside this: a request they make deletes this
    // reply later, not under its own signal.
    const QScopedValueRollback<bool> delivering(m_delivering, true);
    emit replied(*reply);
    if (bringsBytes(reply->error()) && deviceIsOpen()) {
        // What the line gave during the wait, as a window on the line itself would
        // have read it (junk before a reply included), less the adapter's copy of
        // the request, which the engine knows for one.
        QByteArray bytes = reply->received();
        const QByteArray copy(reinterpret_cast<const char *>(reply->request().data()),
                              static_cast<qsizetype>(reply->request().size()));
        if (m_client->echo() && bytes.startsWith(copy)) {
            bytes.remove(0, copy.size());
        }
        if (!bytes.isEmpty()) {
            receive(bytes);
        }
    }
}

void EngineCommControl::releaseDelivered()
{
    if (m_delivered) {
        if (m_delivering) {
            m_delivered->deleteLater();
        } else {
            delete m_delivered.data();
        }
    }
    m_delivered.clear();
}

void EngineCommControl::dropOutstanding()
{
    std::vector<QPointer<engine::Reply>> outstanding;
    outstanding.swap(m_outstanding);
    for (QPointer<engine::Reply> &reply : outstanding) {
        if (reply) {
            // The client ends a request in flight on its own; nothing of it is
            // delivered now, and what was not sent is not sent.
            disconnect(reply, nullptr, this, nullptr);
            if (reply->sentAt().isValid() && !reply->isFinished()) {
                connect(reply, &engine::Reply::finished, reply, &QObject::deleteLater);
            } else {
                delete reply.data();
            }
        }
    }
}

std::unique_ptr<EngineCommControl> makeEngineCommControl(QObject *parent)
{
    // The window owns its device and offers the line to our other programs, or
    // joins the one of ours that owns it.
    auto port = std::make_unique<SharedPort>(serial::makeCommControl());
    auto client = std::make_unique<engine::Client>(*port);
    auto host = std::make_unique<LineHost>(*port, *client);
    // A window's first poll comes a poll period after the port opens: a quiet line
    // shorter than that still drops a late reply to an earlier program, without
    // holding the first poll back behind the next one.
    client->setStartQuiet(kWindowStartQuiet);
    auto control = std::make_unique<EngineCommControl>(*port, *client, parent);
    control->setLineHost(host.get());
    // The client goes before the control it drives, and the port (its device
    // closed first) before the host that offers its line: children are deleted in
    // the order they were given.
    client.release()->setParent(control.get());
    port.release()->setParent(control.get());
    host.release()->setParent(control.get());
    return control;
}

} // namespace line
