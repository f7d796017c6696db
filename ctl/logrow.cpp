#include "ctl/logrow.h"

#include "ctl/format.h"

#include <QStringList>

#include <cmath>
#include <cstdlib>

namespace ctl {

namespace {

// A counter to the micro-unit, trailing zeros dropped.
QString counterText(double value)
{
    return shortestPoint(std::llround(value * 1e6), 6);
}

} // namespace

QString LogRow::csvHeader(bool withStep)
{
    return QStringLiteral("time,elapsed_s,address,set_v,set_a,v,a,w,output,mode,ah,wh,error") +
           (withStep ? QStringLiteral(",step,point") : QString());
}

QString LogRow::timeText() const
{
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
           (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString LogRow::csvLine() const
{
    QStringList cells{timeText(), fixedPoint(std::llround(elapsedSeconds * 1000), 3),
                      QString::number(address)};
    if (reading) {
        const protocol::StatusReading &r = *reading;
        cells << shortestPoint(r.setVoltage, 2) << shortestPoint(r.setCurrent, 3)
              << shortestPoint(r.actualVoltage, 2) << shortestPoint(r.actualCurrent, 3)
              << shortestPoint(powerCount(r), 5)
              << (r.outputOn ? QStringLiteral("1") : QStringLiteral("0")) << modeText(r.mode);
    } else {
        cells << QString() << QString() << QString() << QString() << QString() << QString()
              << QString();
    }
    cells << counterText(ampHours) << counterText(wattHours) << error;
    if (withStep) {
        cells << QString::number(step) << (point ? QString::number(*point) : QString());
    }
    return cells.join(QLatin1Char(','));
}

QString LogRow::jsonLine() const
{
    const QString null = QStringLiteral("null");
    const auto value = [&](long long count, int decimals) {
        return reading ? shortestPoint(count, decimals) : null;
    };
    const protocol::StatusReading r = reading.value_or(protocol::StatusReading{});
    const QString steps = withStep ? QStringLiteral(R"(,"step":%1,"point":%2)")
                                         .arg(step)
                                         .arg(point ? QString::number(*point) : null)
                                   : QString();
    return QStringLiteral(R"({"time":%1,"elapsed_s":%2,"address":%3,"set_v":%4,"set_a":%5,)"
                          R"("v":%6,"a":%7,"w":%8,"output":%9,"mode":%10,"ah":%11,"wh":%12,)"
                          R"("error":%13%14})")
        .arg(jsonString(timeText()), fixedPoint(std::llround(elapsedSeconds * 1000), 3),
             QString::number(address), value(r.setVoltage, 2), value(r.setCurrent, 3),
             value(r.actualVoltage, 2), value(r.actualCurrent, 3), value(powerCount(r), 5),
             reading ? (r.outputOn ? QStringLiteral("true") : QStringLiteral("false")) : null)
        .arg(reading ? jsonString(modeText(r.mode)) : null, counterText(ampHours),
             counterText(wattHours), error.isEmpty() ? null : jsonString(error), steps);
}

} // namespace ctl
