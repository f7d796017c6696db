#pragma once

#include "ctl/command.h"
#include "supply/operations.h"
#include "supply/runner.h"
#include "supply/schedule.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace ctl {

// The supply as `vantelctl run` gives it to the runner: readings on the schedule
// (fixed slots of the interval), writes confirmed by echo, read-back and one
// retry, the read-backs handed on as readings too.
class ShellRunLine : public QObject, public supply::RunLine {
    Q_OBJECT
public:
    ShellRunLine(supply::Client &client, std::uint8_t address, milliseconds interval,
                 QObject *parent = nullptr);

    void begin(std::function<void(const supply::Row &)> reading,
               std::function<void(const QString &)> failed) override;
    void end() override;
    void readSoon() override;
    void write(supply::Target target, std::uint16_t value,
               std::function<void(const QString &)> retrying,
               std::function<void(const supply::WriteResult &)> done) override;
    void interrupt() override;
    void switchOff(std::function<void(const supply::WriteResult &)> done) override;

private:
    qint64 nowNs() const { return m_clock.nsecsElapsed(); }
    void arm();
    void due();
    void readOne();
    void idleAgain();
    void deliver(const supply::Reading &reading);

    supply::Client &m_client;
    std::uint8_t m_address;
    supply::RowMaker m_rows;
    supply::Schedule m_schedule;
    QElapsedTimer m_clock;
    QTimer m_timer;
    std::function<void(const supply::Row &)> m_reading;
    std::function<void(const QString &)> m_failed;
    bool m_active = false;
    bool m_busy = false;     // a reading or a write is on the line
    bool m_extraDue = false; // readSoon() asked for one
    bool m_aligned = false;  // the schedule starts when the first request goes out
};

Prepared prepareRun(const CommandLine &line, const CommonOptions &common);

} // namespace ctl
