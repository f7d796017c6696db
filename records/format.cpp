#include "records/format.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace records {

namespace {

constexpr int kMaxDecimals = 18; // 10^18 still fits a long long

unsigned long long powerOfTen(int decimals)
{
    unsigned long long p = 1;
    for (int i = 0; i < decimals; ++i) {
        p *= 10;
    }
    return p;
}

// The texts are put into a small buffer on the stack and appended to the line in
// one call: appending them byte by byte cost more than all the arithmetic.

// `value`'s decimal digits, at least `width` of them (zeros in front), at `p`;
// returns the end. At most 20 digits.
char *putDigits(char *p, unsigned long long value, int width = 1)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n < width && n < int(sizeof digits)) {
        digits[n++] = '0';
    }
    while (n > 0) {
        *p++ = digits[--n];
    }
    return p;
}

unsigned long long magnitudeOf(long long value)
{
    // Negated in unsigned arithmetic: the most negative value has no positive twin.
    return value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                     : static_cast<unsigned long long>(value);
}

// The civil date of a day counted from 1970-01-01 in the proleptic Gregorian
// calendar, as QDate has it (H. Hinnant's days_from_civil, inverted).
void civilFromDays(long long days, long long &year, int &month, int &day)
{
    days += 719468; // from 0000-03-01
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097; // 0..146096
    const long long yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365; // 0..399
    const long long dayOfYear =
        dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100); // 0..365
    const long long shifted = (5 * dayOfYear + 2) / 153;                // 0..11, March first
    day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
    month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

} // namespace

char *putFixedPoint(char *p, long long count, int decimals)
{
    decimals = std::clamp(decimals, 0, kMaxDecimals);
    const unsigned long long scale = powerOfTen(decimals);
    const unsigned long long magnitude = magnitudeOf(count);
    if (count < 0) {
        *p++ = '-';
    }
    p = putDigits(p, magnitude / scale);
    if (decimals > 0) {
        *p++ = '.';
        p = putDigits(p, magnitude % scale, decimals);
    }
    return p;
}

char *putShortestPoint(char *p, long long count, int decimals)
{
    char *const start = p;
    p = putFixedPoint(p, count, decimals);
    if (decimals > 0) {
        while (p[-1] == '0') {
            --p;
        }
        if (p[-1] == '.') {
            --p;
        }
    }
    if (p - start == 2 && start[0] == '-' && start[1] == '0') {
        start[0] = '0'; // "-0.001" to three places is 0, not -0
        --p;
    }
    return p;
}

char *putInteger(char *p, long long value)
{
    if (value < 0) {
        *p++ = '-';
    }
    return putDigits(p, magnitudeOf(value));
}

char *putCounter(char *p, double value)
{
    return putShortestPoint(p, std::llround(value * 1e6), 6);
}

char *putElapsed(char *p, double seconds)
{
    return putFixedPoint(p, std::llround(seconds * 1000), 3);
}

char *putLocalTime(char *p, const QDateTime &time)
{
    // A time in UTC or local time is written in local time; one with an offset or
    // zone of its own, in that. Looking up the local offset reads the system's
    // zone file. A zone's offset changes only on a whole minute, so the lookup is
    // made once a minute rather than for every row.
    static thread_local qint64 cachedMinute = std::numeric_limits<qint64>::min();
    static thread_local int cachedOffset = 0;
    const qint64 ms = time.toMSecsSinceEpoch();
    int offset = 0;
    if (time.timeSpec() == Qt::UTC || time.timeSpec() == Qt::LocalTime) {
        const qint64 minute = ms >= 0 ? ms / 60'000 : (ms - 59'999) / 60'000;
        if (minute != cachedMinute) {
            cachedOffset = QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc();
            cachedMinute = minute;
        }
        offset = cachedOffset;
    } else {
        offset = time.offsetFromUtc();
    }
    // Milliseconds of the local wall clock since 1970-01-01T00:00:00 local.
    const qint64 local = ms + qint64(offset) * 1000;
    constexpr qint64 kMsPerDay = 86'400'000;
    const qint64 days = local >= 0 ? local / kMsPerDay : (local - kMsPerDay + 1) / kMsPerDay;
    const qint64 msOfDay = local - days * kMsPerDay;
    long long year = 0;
    int month = 0;
    int day = 0;
    civilFromDays(days, year, month, day);
    if (year < 1 || year > 9999) {
        // Years of more or less than four digits, as Qt writes them (at most ten
        // characters: QDateTime's range ends before the year 300 000 000).
        const QByteArray qt = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC)
                                  .toOffsetFromUtc(offset)
                                  .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
                                  .toLatin1()
                                  .left(kTimeChars - 6);
        p = std::copy(qt.begin(), qt.end(), p);
    } else {
        p = putDigits(p, static_cast<unsigned long long>(year), 4);
        *p++ = '-';
        p = putDigits(p, unsigned(month), 2);
        *p++ = '-';
        p = putDigits(p, unsigned(day), 2);
        *p++ = 'T';
        p = putDigits(p, static_cast<unsigned long long>(msOfDay / 3'600'000), 2);
        *p++ = ':';
        p = putDigits(p, static_cast<unsigned long long>(msOfDay / 60'000 % 60), 2);
        *p++ = ':';
        p = putDigits(p, static_cast<unsigned long long>(msOfDay / 1000 % 60), 2);
        *p++ = '.';
        p = putDigits(p, static_cast<unsigned long long>(msOfDay % 1000), 3);
    }
    const int minutes = std::abs(offset) / 60;
    *p++ = offset < 0 ? '-' : '+';
    p = putDigits(p, unsigned(minutes / 60), 2);
    *p++ = ':';
    return putDigits(p, unsigned(minutes % 60), 2);
}

char *putMode(char *p, std::uint8_t mode)
{
    const char *name = protocol::modeName(mode);
    if (name == nullptr) {
        return putInteger(p, mode);
    }
    while (*name != '\0') {
        *p++ = *name++;
    }
    return p;
}

void appendInteger(QByteArray &out, long long value)
{
    char text[kNumberChars];
    out.append(text, putInteger(text, value) - text);
}

void appendFixedPoint(QByteArray &out, long long count, int decimals)
{
    char text[kNumberChars];
    out.append(text, putFixedPoint(text, count, decimals) - text);
}

void appendShortestPoint(QByteArray &out, long long count, int decimals)
{
    char text[kNumberChars];
    out.append(text, putShortestPoint(text, count, decimals) - text);
}

void appendCounter(QByteArray &out, double value)
{
    char text[kNumberChars];
    out.append(text, putCounter(text, value) - text);
}

void appendElapsed(QByteArray &out, double seconds)
{
    char text[kNumberChars];
    out.append(text, putElapsed(text, seconds) - text);
}

void appendLocalTime(QByteArray &out, const QDateTime &time)
{
    char text[kTimeChars];
    out.append(text, putLocalTime(text, time) - text);
}

void appendMode(QByteArray &out, std::uint8_t mode)
{
    char text[kNumberChars];
    out.append(text, putMode(text, mode) - text);
}

void appendJsonString(QByteArray &out, const QString &text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out.append('"');
    // Quotes, backslashes and control characters are ASCII bytes, never part of a
    // UTF-8 sequence: escaping the UTF-8 bytes escapes the characters.
    for (const char c : text.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.append('\\').append(c);
        } else if (byte < 0x20) {
            out.append("\\u00").append(kHex[byte >> 4]).append(kHex[byte & 0xf]);
        } else {
            out.append(c);
        }
    }
    out.append('"');
}

namespace {

// Runs `append` into a fresh buffer and returns its bytes as text.
template <typename Append> QString textOf(Append append)
{
    QByteArray bytes;
    append(bytes);
    return QString::fromLatin1(bytes);
}

} // namespace

QString fixedPoint(long long count, int decimals)
{
    return textOf([&](QByteArray &out) { appendFixedPoint(out, count, decimals); });
}

QString shortestPoint(long long count, int decimals)
{
    return textOf([&](QByteArray &out) { appendShortestPoint(out, count, decimals); });
}

QString counterText(double value)
{
    return textOf([&](QByteArray &out) { appendCounter(out, value); });
}

QString elapsedText(double seconds)
{
    return textOf([&](QByteArray &out) { appendElapsed(out, seconds); });
}

QString elapsedTextMs(long long milliseconds)
{
    return fixedPoint(milliseconds, 3);
}

QString localTimeText(const QDateTime &time)
{
    return textOf([&](QByteArray &out) { appendLocalTime(out, time); });
}

QString modeText(std::uint8_t mode)
{
    const char *name = protocol::modeName(mode);
    return name != nullptr ? QString::fromLatin1(name) : QString::number(mode);
}

QByteArray jsonString(const QString &text)
{
    QByteArray out;
    appendJsonString(out, text);
    return out;
}

JsonObject &JsonObject::raw(const char *key, const QByteArray &json)
{
    m_text += (m_text.size() == 1 ? "\"" : ",\"") + QByteArray(key) + "\":" + json;
    return *this;
}

JsonObject &JsonObject::number(const char *key, const QString &text)
{
    return raw(key, text.toLatin1());
}

JsonObject &JsonObject::number(const char *key, long long value)
{
    return raw(key, QByteArray::number(value));
}

JsonObject &JsonObject::text(const char *key, const QString &value)
{
    return raw(key, jsonString(value));
}

JsonObject &JsonObject::textOrNull(const char *key, const QString &value)
{
    return value.isEmpty() ? null(key) : text(key, value);
}

JsonObject &JsonObject::boolean(const char *key, bool value)
{
    return raw(key, value ? "true" : "false");
}

JsonObject &JsonObject::null(const char *key)
{
    return raw(key, "null");
}

JsonObject statusJson(int address, const protocol::StatusReading &r)
{
    JsonObject json;
    json.number("address", address)
        .number("set_v", voltsText(r.setVoltage))
        .number("set_a", ampsText(r.setCurrent))
        .number("v", voltsText(r.actualVoltage))
        .number("a", ampsText(r.actualCurrent))
        .number("w", wattsText(powerCount(r)))
        .boolean("output", r.outputOn)
        .text("mode", modeText(r.mode));
    return json;
}

} // namespace records
