#include "trend/history.h"

#include <QDateTime>

namespace trend {

History::History(QObject *parent) : QObject(parent)
{
    m_clock.start();
    m_wallEpochMs = QDateTime::currentMSecsSinceEpoch();
}

void History::record(const protocol::StatusReading &reading)
{
    recordAt(nowMs(), reading);
}

void History::recordAt(std::int64_t ms, const protocol::StatusReading &reading)
{
    m_samples.append(ms, reading);
    m_counters.add(m_samples.back());
    emit recorded();
}

void History::endSegment()
{
    m_samples.endSegment();
}

void History::resetCounters()
{
    m_counters.reset();
    emit countersReset();
}

} // namespace trend
