#include "trend/csvexport.h"

#include "protocol/reading.h"

#include <QDateTime>
#include <QIODevice>

#include <cstdlib>

namespace trend {

const char kCsvHeader[] = "time,elapsed_s,set_v,set_a,v,a,w,output,mode\n";

namespace {

// A count of 10^-decimals units as decimal text, built from integers so that no
// locale can change the separator: (1234, 2) -> "12.34".
QByteArray fixed(std::int64_t count, int decimals)
{
    std::int64_t scale = 1;
    for (int i = 0; i < decimals; ++i) {
        scale *= 10;
    }
    const std::int64_t magnitude = std::llabs(count);
    QByteArray fraction = QByteArray::number(magnitude % scale);
    fraction.prepend(QByteArray(decimals - fraction.size(), '0'));
    return (count < 0 ? "-" : "") + QByteArray::number(magnitude / scale) + '.' + fraction;
}

// 2026-12-07T17:05:47.123+01:00
QByteArray isoLocal(std::int64_t wallMs)
{
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(wallMs);
    const int offset = time.offsetFromUtc() / 60;
    const int minutes = std::abs(offset);
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toLatin1() +
           (offset < 0 ? '-' : '+') + QByteArray::number(minutes / 60).rightJustified(2, '0') +
           ':' + QByteArray::number(minutes % 60).rightJustified(2, '0');
}

} // namespace

QByteArray csvRow(const Sample &sample, std::int64_t wallMs, std::int64_t elapsedMs)
{
    const char *mode = protocol::modeName(static_cast<std::uint8_t>(sample.mode));
    // 10 mV counts times 1 mA counts are 10 uW counts: the power stays exact.
    const std::int64_t power = std::int64_t(sample.voltage) * sample.current;
    QByteArray row = isoLocal(wallMs);
    row += ',' + fixed(elapsedMs, 3);
    row += ',' + fixed(sample.setVoltage, 2);
    row += ',' + fixed(sample.setCurrent, 3);
    row += ',' + fixed(sample.voltage, 2);
    row += ',' + fixed(sample.current, 3);
    row += ',' + fixed(power, 5);
    row += sample.outputOn ? ",1," : ",0,";
    row += mode ? QByteArray(mode) : QByteArray::number(int(sample.mode));
    row += '\n';
    return row;
}

bool writeCsv(QIODevice &out, const SampleStore &store, std::int64_t wallEpochMs)
{
    if (out.write(kCsvHeader) < 0) {
        return false;
    }
    QByteArray block;
    for (std::size_t i = 0; i < store.size(); ++i) {
        const Sample &sample = store[i];
        block += csvRow(sample, wallEpochMs + sample.time(), sample.time());
        if (block.size() > 64 * 1024 || i + 1 == store.size()) {
            if (out.write(block) != block.size()) {
                return false;
            }
            block.clear();
        }
    }
    return true;
}

} // namespace trend
