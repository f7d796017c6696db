#pragma once

#include <QLoggingCategory>

#include <cstdio>

// Every frame on the line, with its time, direction, bytes and verdict, at debug
// level: QT_LOGGING_RULES="vantel.line.debug=true", or vantelctl's --verbose.
Q_DECLARE_LOGGING_CATEGORY(lcLine)

namespace engine {

// Turns the vantel.line category on and writes its lines, and only its, to `out`
// as they are, one a line ("   123.4 ms -> 01 03 10 00 00 06 C1 08  request");
// every other message goes where it went before.
void enableLineTrace(std::FILE *out = stderr);

} // namespace engine
