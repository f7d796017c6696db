#include "runs/scheduledline.h"

#include <QDateTime>
#include <QPointer>

#include <algorithm>

namespace runs {

ScheduledRunLine::ScheduledRunLine(engine::Client &client, std::uint8_t address,
                                   milliseconds interval, QObject *parent)
    : QObject(parent), m_client(client), m_address(address), m_schedule(interval)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ScheduledRunLine::due);
}

void ScheduledRunLine::begin(std::function<void(const records::Row &)> reading,
                             std::function<void(const engine::Failure &)> failed)
{
    m_reading = std::move(reading);
    m_failed = std::move(failed);
    m_active = true;
    m_start = std::chrono::steady_clock::now();
    m_schedule.start(0);
    arm();
}

void ScheduledRunLine::end()
{
    m_active = false;
    m_timer.stop();
}

void ScheduledRunLine::arm()
{
    if (!m_active || m_busy) {
        return;
    }
    const qint64 wait = m_schedule.untilNextRound(nowNs());
    m_timer.start(static_cast<int>((wait + 999'999) / 1'000'000));
}

void ScheduledRunLine::due()
{
    if (!m_active || m_busy) {
        return; // the reading or write on the line calls arm() when it is done
    }
    if (m_aligned) {
        m_schedule.roundStarted(nowNs());
    }
    readOne();
}

void ScheduledRunLine::readSoon()
{
    if (!m_active) {
        return;
    }
    if (m_busy) {
        m_extraDue = true;
        return;
    }
    readOne();
}

void ScheduledRunLine::readOne()
{
    m_busy = true;
    m_timer.stop();
    QPointer<ScheduledRunLine> self(this);
    records::takeReading(m_client, m_rows, m_address, [self](const records::Reading &reading) {
        if (!self) {
            return;
        }
        self->m_busy = false;
        if (!self->m_active) {
            return;
        }
        self->deliver(reading);
        if (reading.failure.error == engine::Error::Port && !self->m_keeper) {
            self->m_active = false;
            self->m_failed(reading.row.failure);
            return;
        }
        self->idleAgain();
    });
}

void ScheduledRunLine::idleAgain()
{
    if (!m_active || m_busy) {
        return;
    }
    if (m_extraDue) {
        m_extraDue = false;
        readOne();
        return;
    }
    arm();
}

void ScheduledRunLine::deliver(const records::Reading &reading)
{
    if (reading.failure.error == engine::Error::Interrupted) {
        return;
    }
    if (!m_aligned) {
        // The first request waited for the line to be quiet: the slots count from
        // when it went out.
        m_aligned = true;
        const qint64 sentNs = std::min(nowNs(), nsSinceStart(reading.sentTime));
        m_schedule.start(sentNs);
        m_schedule.roundStarted(sentNs);
    }
    if (m_reading) {
        m_reading(reading.row);
    }
}

void ScheduledRunLine::write(records::Target target, std::uint16_t value,
                             std::function<void(const QString &)> retrying,
                             std::function<void(const records::WriteResult &)> done)
{
    m_busy = true;
    m_timer.stop();
    QPointer<ScheduledRunLine> self(this);
    records::WriteCallbacks callbacks;
    callbacks.readBack = [self](const records::Reading &reading) {
        if (self && self->m_active) {
            self->deliver(reading);
        }
    };
    callbacks.retrying = std::move(retrying);
    callbacks.done = [self, done = std::move(done)](const records::WriteResult &result) {
        if (self) {
            self->m_busy = false;
        }
        done(result);
        if (self) {
            self->idleAgain();
        }
    };
    records::confirmedWrite(m_client, m_rows, records::writeRequest(m_address, target, value),
                            records::confirmsWrite(target, value), std::move(callbacks));
}

void ScheduledRunLine::interrupt()
{
    m_client.interrupt();
}

void ScheduledRunLine::switchOff(std::function<void(const records::WriteResult &)> done)
{
    m_client.resume();
    const auto send = [this, done = std::move(done)] {
        m_client.resume(); // a stop while waiting for the port does not cancel it
        records::WriteCallbacks callbacks;
        callbacks.done = done;
        records::switchOff(m_client, m_rows, m_address, std::move(callbacks));
    };
    if (m_keeper && !m_keeper->isOpen()) {
        // Sent either way: with the port still away it ends with Error::Port and
        // the run says the output may still be on.
        QPointer<ScheduledRunLine> self(this);
        m_keeper->whenOpen(line::PortKeeper::kWaitToSwitchOff, [self, send](bool) {
            if (self) {
                send();
            }
        });
        return;
    }
    send();
}

} // namespace runs
