#include "supply/format.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace supply {

namespace {

long long powerOfTen(int decimals)
{
    long long p = 1;
    for (int i = 0; i < decimals; ++i) {
        p *= 10;
    }
    return p;
}

} // namespace

QString fixedPoint(long long count, int decimals)
{
    const long long scale = powerOfTen(decimals);
    const long long magnitude = std::llabs(count);
    QString text = QString::number(magnitude / scale);
    if (decimals > 0) {
        text += QLatin1Char('.') +
                QStringLiteral("%1").arg(magnitude % scale, decimals, 10, QLatin1Char('0'));
    }
    return count < 0 ? QLatin1Char('-') + text : text;
}

QString shortestPoint(long long count, int decimals)
{
    QString text = fixedPoint(count, decimals);
    if (decimals > 0) {
        while (text.endsWith(QLatin1Char('0'))) {
            text.chop(1);
        }
        if (text.endsWith(QLatin1Char('.'))) {
            text.chop(1);
        }
    }
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

QString counterText(double value)
{
    return shortestPoint(std::llround(value * 1e6), 6);
}

QString elapsedText(double seconds)
{
    return fixedPoint(std::llround(seconds * 1000), 3);
}

QString elapsedTextMs(long long milliseconds)
{
    return fixedPoint(milliseconds, 3);
}

QString localTimeText(const QDateTime &time)
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
    const int minutes = std::abs(offset) / 60;
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC)
               .toOffsetFromUtc(offset)
               .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
           (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString modeText(std::uint8_t mode)
{
    const char *name = protocol::modeName(mode);
    return name != nullptr ? QString::fromLatin1(name) : QString::number(mode);
}

QByteArray jsonString(const QString &text)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            out += QLatin1Char('\\') + c;
        } else if (c.unicode() < 0x20) {
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return (out + QLatin1Char('"')).toUtf8();
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

} // namespace supply
