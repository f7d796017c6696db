#pragma once

#include "engine/client.h"
#include "line/portkeeper.h"
#include "records/operations.h"
#include "runs/runner.h"
#include "runs/schedule.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>

namespace runs {

using std::chrono::milliseconds;

// The supply as a run sees it over the client (vantelctl run): readings on the
// schedule (fixed slots of the interval, counted from the first request), writes
// confirmed by echo, read-back and one retry, the read-backs handed on as
// readings too. With a port keeper, a lost port is no failure of the line: each
// reading while the port is away is a row with the error `port`, and the
// switch-off waits for the port to come back.
class ScheduledRunLine : public QObject, public RunLine {
    Q_OBJECT
public:
    ScheduledRunLine(engine::Client &client, std::uint8_t address, milliseconds interval,
                     QObject *parent = nullptr);

    // Rides out a lost port with `keeper` (set before begin()).
    void setPortKeeper(line::PortKeeper *keeper) { m_keeper = keeper; }

    void begin(std::function<void(const records::Row &)> reading,
               std::function<void(const engine::Failure &)> failed) override;
    void end() override;
    void readSoon() override;
    void write(records::Target target, std::uint16_t value,
               std::function<void(const QString &)> retrying,
               std::function<void(const records::WriteResult &)> done) override;
    void interrupt() override;
    void switchOff(std::function<void(const records::WriteResult &)> done) override;

private:
    qint64 nowNs() const { return nsSinceStart(std::chrono::steady_clock::now()); }
    qint64 nsSinceStart(std::chrono::steady_clock::time_point at) const
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(at - m_start).count();
    }
    void arm();
    void due();
    void readOne();
    void idleAgain();
    void deliver(const records::Reading &reading);

    engine::Client &m_client;
    line::PortKeeper *m_keeper = nullptr;
    std::uint8_t m_address;
    records::RowMaker m_rows;
    Schedule m_schedule;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    QTimer m_timer;
    std::function<void(const records::Row &)> m_reading;
    std::function<void(const engine::Failure &)> m_failed;
    bool m_active = false;
    bool m_busy = false;     // a reading or a write is on the line
    bool m_extraDue = false; // readSoon() asked for one
    bool m_aligned = false;  // the schedule starts when the first request goes out
};

} // namespace runs
