#include "ctl/format.h"

#include <cstdlib>

namespace ctl {

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

QString modeText(std::uint8_t mode)
{
    const char *name = protocol::modeName(mode);
    return name != nullptr ? QString::fromLatin1(name) : QString::number(mode);
}

QString statusText(const protocol::StatusReading &r)
{
    // Power is shown to 10 mW, rounded half up from its 10 µW count.
    const long long centiwatts = (powerCount(r) + 500) / 1000;
    const char *name = protocol::modeName(r.mode);
    return QStringLiteral("%1 V  %2 A  %3 W  (set %4 V %5 A)  output %6  %7")
        .arg(fixedPoint(r.actualVoltage, 2), fixedPoint(r.actualCurrent, 3),
             fixedPoint(centiwatts, 2), fixedPoint(r.setVoltage, 2), fixedPoint(r.setCurrent, 3),
             r.outputOn ? QStringLiteral("on") : QStringLiteral("off"),
             name != nullptr ? QString::fromLatin1(name)
                             : QStringLiteral("mode ") + QString::number(r.mode));
}

QString statusJson(int address, const protocol::StatusReading &r)
{
    return QStringLiteral(
               R"({"address":%1,"set_v":%2,"set_a":%3,"v":%4,"a":%5,"w":%6,"output":%7,"mode":%8})")
        .arg(QString::number(address), shortestPoint(r.setVoltage, 2),
             shortestPoint(r.setCurrent, 3), shortestPoint(r.actualVoltage, 2),
             shortestPoint(r.actualCurrent, 3), shortestPoint(powerCount(r), 5),
             r.outputOn ? QStringLiteral("true") : QStringLiteral("false"),
             jsonString(modeText(r.mode)));
}

QString jsonString(const QString &text)
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
    return out + QLatin1Char('"');
}

QString hexBytes(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

} // namespace ctl
