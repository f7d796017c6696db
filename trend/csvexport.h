#pragma once

#include "trend/samplestore.h"

#include <QByteArray>

#include <cstdint>

class QIODevice;

namespace trend {

// The header row of the CSV file.
extern const char kCsvHeader[];

// One sample as a CSV row (with its line end). `wallMs` is its wall-clock time in
// ms since 1970, written as ISO 8601 local time with milliseconds and UTC offset;
// `elapsedMs` is written in seconds. Numbers are written as the log writes them
// (trailing zeros dropped: 0.5, 6.16), whatever the locale.
QByteArray csvRow(const Sample &sample, std::int64_t wallMs, std::int64_t elapsedMs);

// Writes the header and every sample, oldest first. `wallEpochMs` is the wall
// clock at the store's time 0. False when the device refused a write.
bool writeCsv(QIODevice &out, const SampleStore &store, std::int64_t wallEpochMs);

} // namespace trend
