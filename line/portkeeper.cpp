#include "line/portkeeper.h"

#include "engine/client.h"
#include "line/networkport.h"

#include <algorithm>
#include <iterator>

namespace line {

PortKeeper::PortKeeper(serial::CommControl &comm, engine::Client &client, QString portName,
                       QObject *parent)
    : QObject(parent), m_comm(comm), m_client(client), m_portName(std::move(portName)),
      m_clock(client.clock()), m_retry(m_clock.makeTimer([this] { retry(); }))
{
    // The control closes a port whose device went away; the client reports a
    // device that refused a write, which may still count as open.
    connect(&m_comm, &serial::CommControl::portLost, this, &PortKeeper::onLost);
    connect(&m_client, &engine::Client::portFailed, this, &PortKeeper::onLost);
    // A network line connects again in the background, so that the program
    // goes on while a host is unreachable, and is opened as soon as it can be.
    if (auto *network = qobject_cast<TcpPort *>(&m_comm)) {
        network->setReconnecting(true);
        connect(network, &TcpPort::ready, this, [this] {
            if (m_awaySince) {
                retry();
            }
        });
    }
}

bool PortKeeper::isOpen() const
{
    return !m_awaySince && m_comm.PortOpen();
}

void PortKeeper::onLost(const QString &reason)
{
    if (m_awaySince) {
        return; // the same loss, told by the control and then by the client
    }
    if (m_comm.PortOpen()) {
        try {
            m_comm.setPortOpen(false);
        } catch (const serial::CommError &) {
            // Closed as far as it can be; the reopening tells.
        }
    }
    m_awaySince = m_clock.now();
    ++m_losses;
    m_lastFailure.clear();
    m_retry->start(kReopenEvery);
    const QString why = reason.isEmpty() ? QStringLiteral("the device went away") : reason;
    emit message(QStringLiteral("the port %1 was lost (%2); opening it again every second")
                     .arg(m_portName, why));
    emit lost(why);
}

void PortKeeper::retry()
{
    try {
        m_comm.setPortOpen(true);
    } catch (const serial::CommError &error) {
        m_lastFailure = QString::fromStdString(error.what());
        // Every second until it is back; a network line's early try (ready) leaves
        // the next one where it was.
        if (!m_retry->isActive()) {
            m_retry->start(kReopenEvery);
        }
        const engine::EngineClock::time_point now = m_clock.now();
        // Waiters whose time is up hear it now; the others wait on.
        std::vector<Waiter> due;
        auto late = std::stable_partition(m_waiters.begin(), m_waiters.end(),
                                          [now](const Waiter &w) { return w.until > now; });
        std::move(late, m_waiters.end(), std::back_inserter(due));
        m_waiters.erase(late, m_waiters.end());
        for (Waiter &w : due) {
            w.then(false);
        }
        return;
    }
    m_retry->stop();
    const qint64 awayMs = msSince(*m_awaySince);
    m_awayBeforeMs += awayMs;
    m_awaySince.reset();
    // Whatever the device held from before the loss is dropped, and the first
    // request waits for a quiet line.
    m_client.start();
    emit message(QStringLiteral("the port %1 is back after %2 s")
                     .arg(m_portName)
                     .arg(static_cast<double>(awayMs) / 1000.0, 0, 'f', 1));
    emit restored(awayMs);
    settleWaiters(true);
}

void PortKeeper::settleWaiters(bool open)
{
    std::vector<Waiter> waiters;
    waiters.swap(m_waiters);
    for (Waiter &w : waiters) {
        w.then(open);
    }
}

qint64 PortKeeper::awayMs() const
{
    return m_awayBeforeMs + (m_awaySince ? msSince(*m_awaySince) : 0);
}

qint64 PortKeeper::msSince(engine::EngineClock::time_point then) const
{
    return std::chrono::duration_cast<milliseconds>(m_clock.now() - then).count();
}

QString PortKeeper::summary() const
{
    if (m_losses == 0) {
        return {};
    }
    return QStringLiteral("port %1: lost %2, away %3 s in all%4")
        .arg(m_portName,
             m_losses == 1 ? QStringLiteral("once") : QStringLiteral("%1 times").arg(m_losses))
        .arg(static_cast<double>(awayMs()) / 1000.0, 0, 'f', 1)
        .arg(m_awaySince ? QStringLiteral(", away still") : QString());
}

void PortKeeper::whenOpen(milliseconds within, std::function<void(bool open)> then)
{
    if (isOpen()) {
        QMetaObject::invokeMethod(
            this, [then = std::move(then)] { then(true); }, Qt::QueuedConnection);
        return;
    }
    if (!m_awaySince) {
        // Closed without a loss being seen (never opened): nothing will reopen it.
        QMetaObject::invokeMethod(
            this, [then = std::move(then)] { then(false); }, Qt::QueuedConnection);
        return;
    }
    m_waiters.push_back({m_clock.now() + within, std::move(then)});
}

} // namespace line
