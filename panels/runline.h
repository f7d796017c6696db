#pragma once

#include "panels/monitorlink.h"
#include "records/operations.h"
#include "runs/runner.h"

#include <QObject>

#include <cstdint>
#include <memory>

namespace panels {

// The sequence runner's line in the window: readings are the monitor's own polls,
// writes go out through the monitor's write path and are confirmed by the status
// replies of the following polls.
class WindowRunLine : public QObject, public runs::RunLine {
    Q_OBJECT
public:
    WindowRunLine(MonitorLink &link, std::uint8_t address, QObject *parent = nullptr);
    ~WindowRunLine() override;

    void begin(std::function<void(const records::Row &)> reading,
               std::function<void(const engine::Failure &why)> failed) override;
    void end() override;
    void readSoon() override {}
    void write(records::Target target, std::uint16_t value,
               std::function<void(const QString &problem)> retrying,
               std::function<void(const records::WriteResult &)> done) override;
    void interrupt() override;
    void switchOff(std::function<void(const records::WriteResult &)> done) override;

private:
    using Done = std::function<void(const records::WriteResult &)>;
    int send(records::Target target, std::uint16_t value,
             std::function<void(const QString &)> retrying, Done done);
    // Calls `done` from the event loop, never from inside the caller.
    void later(Done done, records::WriteResult result);

    void takeReadings();

    MonitorLink &m_link;
    std::uint8_t m_address;
    std::function<void(const records::Row &)> m_reading;
    records::RowMaker m_rows;
    bool m_interrupted = false;
    int m_write = 0; // the write in flight, 0 when none
    Done m_writeDone;
    QMetaObject::Connection m_polled;
    QMetaObject::Connection m_ended;
};

} // namespace panels
