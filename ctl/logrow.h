#pragma once

#include "supply/energy.h"
#include "protocol/reading.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace ctl {

// One row of a log: one reading of one address, good or failed. It is made once
// and handed to every writer (and any publisher) as it stands.
struct LogRow {
    QDateTime time; // local time of the request
    double elapsedSeconds = 0;
    int address = 0;
    std::optional<protocol::StatusReading> reading; // nullopt: failed, see error
    double ampHours = 0;                            // counters so far, on failed rows too
    double wattHours = 0;
    QString error; // timeout, crc, foreign, "exception N", short; empty when good
    // A row of `run` has two more columns: the line of the step that was running
    // and, on the one row taken at the end of a sweep point's dwell, its number.
    bool withStep = false;
    int step = 0;
    std::optional<int> point;

    // time,elapsed_s,address,set_v,set_a,v,a,w,output,mode,ah,wh,error[,step,point]
    static QString csvHeader(bool withStep = false);
    QString csvLine() const;
    // One JSON object with the header's keys; a missing value is null.
    QString jsonLine() const;
    // ISO 8601 local time with milliseconds and the UTC offset.
    QString timeText() const;
};

} // namespace ctl
