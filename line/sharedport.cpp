#include "line/sharedport.h"

#include "serial/portnames.h"

#include <QMetaObject>
#include <QThread>

#include <algorithm>

namespace line {

namespace {

// Between two tries to join an owner that is not yet listening, where an open
// may wait (setOwnerWait).
constexpr milliseconds kJoinPause{20};

} // namespace

SharedPort::SharedPort(std::unique_ptr<serial::BufferedCommControl> device, QObject *parent)
    : engine::MbapPort(parent), m_device(std::move(device)), m_local(QString(), this)
{
    m_local.setTrust(m_trust);
    for (serial::CommControl *inner : {static_cast<serial::CommControl *>(m_device.get()),
                                       static_cast<serial::CommControl *>(&m_local)}) {
        inner->setInputLen(0);
        inner->setRThreshold(1);
        connect(inner, &serial::CommControl::OnComm, this, [this, inner] {
            if (inner == active()) {
                onActiveComm();
            }
        });
    }
    connect(m_device.get(), &serial::CommControl::portLost, this, [this](const QString &reason) {
        if (m_role == Role::Owner) {
            onActiveLost(reason);
        }
    });
    // From the event loop: the socket reports its loss from inside its own handling.
    connect(
        &m_local, &serial::CommControl::portLost, this,
        [this](const QString &reason) {
            if (m_role == Role::Joiner) {
                onActiveLost(reason);
            }
        },
        Qt::QueuedConnection);
    m_handover.setInterval(kHandoverEvery);
    connect(&m_handover, &QTimer::timeout, this, &SharedPort::handoverStep);
}

SharedPort::~SharedPort()
{
    // The device first, so that a joiner can take it as soon as the socket goes.
    m_handover.stop();
    m_handingOver = false;
    if (m_role != Role::None) {
        closeDevice();
    }
}

void SharedPort::setTrust(LineTrust trust)
{
    m_trust = std::move(trust);
    m_local.setTrust(m_trust);
}

QString SharedPort::name() const
{
    return m_role == Role::Joiner ? m_local.serverName() : m_socketName;
}

serial::CommControl *SharedPort::active() const
{
    switch (m_role) {
    case Role::Owner:
        return m_device.get();
    case Role::Joiner:
        return const_cast<LocalPort *>(&m_local);
    case Role::None:
        break;
    }
    return nullptr;
}

QString SharedPort::portName() const
{
    return devicePathOverride().isEmpty() ? QStringLiteral("COM%1").arg(m_port)
                                          : devicePathOverride();
}

QString SharedPort::deviceOf(int port) const
{
    if (port == m_port && !devicePathOverride().isEmpty()) {
        return devicePathOverride();
    }
    return serial::devicePath(port);
}

SharedPort::Attempt SharedPort::own(int port)
{
    // Where the device lets a second program open it, the claim keeps two that
    // take the line at once (two joiners at a handover) from both owning it.
    if (!m_claim.take(lineSocketName(deviceOf(port)))) {
        return Attempt::ClaimedByOurs;
    }
    try {
        if (m_device->PortOpen()) {
            m_device->setPortOpen(false);
        }
        m_device->setSettings(Settings());
        m_device->setDevicePath(devicePathOverride());
        m_device->setCommPort(port);
        m_device->setPortOpen(true);
    } catch (const serial::CommError &error) {
        m_claim.release();
        if (error.number() != serial::kErrPortInUse) {
            throw;
        }
        m_inUse = QString::fromStdString(error.what());
        return Attempt::HeldByOwner;
    }
    m_device->setRThreshold(m_readThreshold);
    return Attempt::Done;
}

SharedPort::Joined SharedPort::join()
{
    // An owner that answers wins wherever it is; else one of ours that takes no
    // connection, else a socket that is not the user's own, is what is told.
    Joined found = Joined::Nobody;
    m_refusal.clear();
    for (const QString &name : m_socketNames) {
        const Joined joined = joinAt(name);
        if (joined == Joined::Yes) {
            return joined;
        }
        if (joined == Joined::Stalled) {
            found = joined;
        } else if (joined == Joined::Refused && found != Joined::Stalled) {
            found = joined;
            if (m_refusal.isEmpty()) {
                m_refusal = m_local.refusal();
            }
        }
    }
    return found;
}

SharedPort::Joined SharedPort::joinAt(const QString &name)
{
    try {
        if (m_local.PortOpen()) {
            m_local.setPortOpen(false);
        }
        m_local.setServerName(name);
        m_local.setPortOpen(true);
    } catch (const serial::CommError &error) {
        // No owner there, a stale socket, one that is not the user's own, or an
        // owner of ours that takes no connection.
        switch (error.number()) {
        case serial::kErrNoAccess:
            return Joined::Refused;
        case serial::kErrOpenFailed:
            return Joined::Stalled;
        default:
            return Joined::Nobody;
        }
    }
    m_local.setRThreshold(m_readThreshold);
    return Joined::Yes;
}

void SharedPort::openDevice(int port)
{
    m_holder = {};
    m_handover.stop();
    m_handingOver = false;
    m_port = port;
    m_socketNames = lineSocketNames(deviceOf(port));
    m_socketName = m_socketNames.value(0);
    QElapsedTimer waited;
    waited.start();
    Joined joined = Joined::Nobody;
    Attempt owned = Attempt::Failed;
    while (true) {
        // An owner of ours that answers is joined before the device is tried: not
        // every system refuses a second opener of a serial device (Wine's COM
        // ports, drivers without exclusive opening), and two programs that both
        // opened it would talk over each other. A line that is not the user's
        // own is never joined: the device is opened, if it is free.
        joined = join();
        if (joined == Joined::Yes) {
            taken(Role::Joiner);
            return;
        }
        owned = own(port);
        if (owned == Attempt::Done) {
            taken(Role::Owner);
            return;
        }
        if (joined == Joined::Refused || waited.elapsed() >= m_ownerWait.count()) {
            break;
        }
        QThread::msleep(static_cast<unsigned long>(kJoinPause.count()));
    }
    if (joined == Joined::Stalled ||
        (joined == Joined::Nobody && owned == Attempt::ClaimedByOurs)) {
        throw serial::CommError(serial::kErrOpenFailed,
                                stalledOwnerText(portName(), 0).toStdString());
    }
    if (joined == Joined::Refused) {
        throw serial::CommError(serial::kErrNoAccess,
                                QStringLiteral("%1 is in use, and its shared line is not this "
                                               "user's own, so it is not joined: %2")
                                    .arg(deviceOf(port), m_refusal)
                                    .toStdString());
    }
    // Held, and no owner of ours answers: a program that is not ours has it, or
    // one of ours that cannot be joined (another user's); the system may tell.
    m_holder = deviceHolder(deviceOf(port));
    throw serial::CommError(serial::kErrPortInUse, m_inUse.toStdString());
}

void SharedPort::taken(Role role)
{
    m_handover.stop();
    m_handingOver = false;
    setRole(role);
    emit lineChanged();
}

void SharedPort::setRole(Role role)
{
    if (m_role != role) {
        m_role = role;
        emit roleChanged(role);
    }
}

void SharedPort::closeDevice()
{
    m_handover.stop();
    m_handingOver = false;
    // The host stops listening first: nobody joins an owner on its way out, and
    // the socket it removes as it stops is still its own, never that of a
    // program that took the device over. Then the device, then the joiners'
    // connections (with the role), so that a joiner that sees its socket go
    // finds the device free.
    if (m_role == Role::Owner) {
        emit leaving();
    }
    try {
        if (m_device->PortOpen()) {
            m_device->setPortOpen(false);
        }
        if (m_local.PortOpen()) {
            m_local.setPortOpen(false);
        }
    } catch (const serial::CommError &) {
        // Closed as far as it can be.
    }
    m_claim.release();
    setRole(Role::None);
}

bool SharedPort::offeredByOurs(int port) const
{
    const QStringList names = lineSocketNames(deviceOf(port));
    return std::any_of(names.begin(), names.end(), [&](const QString &name) {
        LocalPort probe(name);
        probe.setTrust(m_trust);
        return probe.probePort(port) == 0;
    });
}

void SharedPort::probeDevice(int port)
{
    const int error = m_device->probePort(port);
    if (error == 0) {
        return;
    }
    if (error == serial::kErrPortInUse) {
        // Held by an owner of ours, this program or another: usable.
        if (offeredByOurs(port)) {
            return;
        }
        throw serial::CommError(error, "Port already open");
    }
    throw serial::CommError(error, "The port cannot be opened");
}

void SharedPort::writeDevice(const QByteArray &bytes)
{
    if (m_handingOver) {
        // Nobody carries the line for a moment; the request ends with the
        // handover (Error::Port), never with another request's answer.
        return;
    }
    if (m_role == Role::Joiner && !m_local.PortOpen()) {
        // The owner has just gone, and the news of it is still on its way through
        // the event loop: the request is no port failure, but waits for the
        // handover, which asks it again of the new line.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_role == Role::Joiner && !m_local.PortOpen()) {
                    onActiveLost(QStringLiteral("the program that owned the line ended"));
                }
            },
            Qt::QueuedConnection);
        return;
    }
    active()->setOutput(bytes);
}

void SharedPort::discardDeviceOutput()
{
    if (serial::CommControl *inner = active()) {
        inner->setOutBufferCount(0);
    }
}

void SharedPort::discardDeviceInput()
{
    if (serial::CommControl *inner = active()) {
        inner->setInBufferCount(0);
    }
}

int SharedPort::deviceInputCount() const
{
    const serial::CommControl *inner = active();
    return inner ? inner->InBufferCount() : 0;
}

void SharedPort::setInputWatched(bool watched)
{
    if (m_role == Role::Owner) {
        m_device->setInputWatched(watched);
    }
}

void SharedPort::setDeviceReadThreshold(int bytes)
{
    m_readThreshold = bytes;
    serial::CommControl *inner = active();
    if (!inner) {
        return;
    }
    inner->setRThreshold(bytes);
    if (inner->InBufferCount() >= bytes) {
        // Held back for a larger threshold: they come at the next turn of the
        // event loop, as a device's own would.
        QMetaObject::invokeMethod(
            this,
            [this, inner] {
                if (inner == active()) {
                    onActiveComm();
                }
            },
            Qt::QueuedConnection);
    }
}

void SharedPort::applyLineSettings()
{
    if (m_role == Role::Owner) {
        m_device->setSettings(Settings());
    }
}

void SharedPort::onActiveComm()
{
    const QByteArray bytes = active()->Input();
    if (!bytes.isEmpty()) {
        receive(bytes);
    }
}

void SharedPort::onActiveLost(const QString &reason)
{
    if (m_role == Role::Owner) {
        m_claim.release();
        setRole(Role::None);
        deviceLost(reason);
        return;
    }
    // The owner ended: take the line over, or join whoever does.
    setRole(Role::None);
    m_handingOver = true;
    m_handoverReason = reason;
    m_handoverTime.start();
    handoverStep();
    if (m_handingOver) {
        m_handover.start();
    }
}

void SharedPort::handoverStep()
{
    try {
        // Whoever took the line over first is joined, as at an open.
        if (join() == Joined::Yes) {
            taken(Role::Joiner);
            return;
        }
        if (own(m_port) == Attempt::Done) {
            taken(Role::Owner);
            return;
        }
        if (!m_refusal.isEmpty()) {
            m_handoverReason = m_refusal;
        }
    } catch (const serial::CommError &error) {
        m_handoverReason = QString::fromStdString(error.what());
    }
    if (m_handoverTime.elapsed() >= kHandoverWithin.count()) {
        m_handover.stop();
        m_handingOver = false;
        deviceLost(m_handoverReason);
    }
}

} // namespace line
