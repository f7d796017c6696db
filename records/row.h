#pragma once

#include "engine/failure.h"
#include "protocol/reading.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace records {

// One reading of one address, good or failed: a row of a log, a run or a record.
// It is made once and handed as it stands to every writer and publisher.
struct Row {
    // When the reading's request went out (local wall clock), and the same moment
    // in seconds on the program's monotonic clock since its start.
    QDateTime time;
    double elapsedSeconds = 0;
    int address = 0;
    std::optional<protocol::StatusReading> reading; // nullopt: failed, see failure
    double ampHours = 0; // the address's counters so far, on failed rows too
    double wattHours = 0;
    // Why there is no reading; none when good. Files show its word (timeout, crc,
    // foreign, short, "exception N", port).
    engine::Failure failure;
    // A row of a sequence run has two more columns: the line of the step that was
    // running and, on the one row taken at the end of a sweep point's dwell, the
    // point's number.
    bool withStep = false;
    int step = 0;
    std::optional<int> point;
};

} // namespace records
