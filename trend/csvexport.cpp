#include "trend/csvexport.h"

#include "records/format.h"

#include <QDateTime>
#include <QIODevice>
#include <QStringList>

namespace trend {

const char kCsvHeader[] = "time,elapsed_s,set_v,set_a,v,a,w,output,mode\n";

QByteArray csvRow(const Sample &sample, std::int64_t wallMs, std::int64_t elapsedMs)
{
    // The log's formatter: the same value is the same text in both files.
    const QStringList cells{
        records::localTimeText(QDateTime::fromMSecsSinceEpoch(wallMs)),
        records::elapsedTextMs(elapsedMs),
        records::voltsText(sample.setVoltage),
        records::ampsText(sample.setCurrent),
        records::voltsText(sample.voltage),
        records::ampsText(sample.current),
        // 10 mV counts times 1 mA counts are 10 uW counts: the power stays exact.
        records::wattsText(static_cast<long long>(sample.voltage) * sample.current),
        sample.outputOn ? QStringLiteral("1") : QStringLiteral("0"),
        records::modeText(static_cast<std::uint8_t>(sample.mode)),
    };
    return cells.join(QLatin1Char(',')).toUtf8() + '\n';
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
