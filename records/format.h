#pragma once

#include "protocol/reading.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>

// One formatter for the numbers and times of every file the programs write (the
// log's and the run's CSV and JSON lines, MQTT payloads, the trend's CSV), so that
// the same value is the same text wherever it appears. Everything is built from
// integer counts: no locale can change the decimal separator.
namespace records {

// The texts below are made by appending bytes (ASCII, UTF-8 for error words) to a
// buffer the caller keeps: a row is built in one buffer reused from row to row, with
// no QString, no locale and no time-zone lookup of its own. The QString functions
// return the same bytes.
//
// The put functions write the same texts at `p` and return the end, for a line
// built in a buffer of one's own: a number takes at most kNumberChars bytes, a
// time or a mode at most kTimeChars and kNumberChars.
constexpr int kNumberChars = 48; // a sign, 20 digits, the point and 18 decimals
constexpr int kTimeChars = 48;   // "2026-12-07T17:05:47.123+01:00", or a longer year
char *putInteger(char *p, long long value);
char *putFixedPoint(char *p, long long count, int decimals);
char *putShortestPoint(char *p, long long count, int decimals);
char *putCounter(char *p, double value);
char *putElapsed(char *p, double seconds);
char *putLocalTime(char *p, const QDateTime &time);
char *putMode(char *p, std::uint8_t mode);

void appendInteger(QByteArray &out, long long value);
void appendFixedPoint(QByteArray &out, long long count, int decimals);
void appendShortestPoint(QByteArray &out, long long count, int decimals);
void appendCounter(QByteArray &out, double value);
void appendElapsed(QByteArray &out, double seconds);
void appendLocalTime(QByteArray &out, const QDateTime &time);
void appendMode(QByteArray &out, std::uint8_t mode);
// `text` as a JSON string literal, quotes and escapes included.
void appendJsonString(QByteArray &out, const QString &text);

// count / 10^decimals with exactly `decimals` digits after the point ("12.30").
QString fixedPoint(long long count, int decimals);
// The same with trailing zeros dropped, as a JSON number ("12.3", "1.5", "0").
QString shortestPoint(long long count, int decimals);

// Actual power in units of 10 µW: 10 mV counts times 1 mA counts, exact.
inline long long powerCount(const protocol::StatusReading &r)
{
    return static_cast<long long>(r.actualVoltage) * r.actualCurrent;
}

// The columns' texts: set and actual voltage (10 mV counts) and current (1 mA
// counts), power (10 µW counts), all with trailing zeros dropped.
inline QString voltsText(std::uint16_t count)
{
    return shortestPoint(count, 2);
}
inline QString ampsText(std::uint16_t count)
{
    return shortestPoint(count, 3);
}
inline QString wattsText(long long count)
{
    return shortestPoint(count, 5);
}
// A counter (Ah, Wh) to the micro-unit, trailing zeros dropped.
QString counterText(double value);
// Seconds since the start, to the millisecond: "12.345".
QString elapsedText(double seconds);
QString elapsedTextMs(long long milliseconds);
// ISO 8601 local time with milliseconds and the UTC offset:
// "2026-12-07T17:05:47.123+01:00".
QString localTimeText(const QDateTime &time);

// "CV", "CC" or "OC"; any other value as its number.
QString modeText(std::uint8_t mode);

// A JSON string literal for `text`, quotes and escapes included.
QByteArray jsonString(const QString &text);

// One JSON object, compact, written key by key in the order given (QJsonObject
// would sort the keys). Numbers are taken as this formatter's texts.
class JsonObject {
public:
    JsonObject &number(const char *key, const QString &text);
    JsonObject &number(const char *key, long long value);
    JsonObject &text(const char *key, const QString &value);
    // A string, or null when `value` is empty.
    JsonObject &textOrNull(const char *key, const QString &value);
    JsonObject &boolean(const char *key, bool value);
    JsonObject &null(const char *key);
    // A value already written as JSON (a nested object).
    JsonObject &raw(const char *key, const QByteArray &json);
    QByteArray toJson() const { return m_text + '}'; }

private:
    QByteArray m_text = "{";
};

// A status reading as JSON, in the log's keys: {"address":1,"set_v":12.34,…,"mode":"CV"}.
JsonObject statusJson(int address, const protocol::StatusReading &r);

} // namespace records
