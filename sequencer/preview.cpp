#include "sequencer/preview.h"

#include <QObject>

namespace sequencer {

namespace {

using supply::SequenceStep;

class Planner {
public:
    Planner(const supply::Sequence &sequence, double volts, double amps, std::size_t most)
        : m_sequence(sequence), m_volts(volts), m_amps(amps), m_most(most)
    {
        add();
    }

    Preview take()
    {
        walk(0, m_sequence.steps.size());
        add();
        return std::move(m_preview);
    }

private:
    void add() { m_preview.points.push_back({m_seconds, m_volts, m_amps}); }
    void set(std::optional<double> volts, std::optional<double> amps)
    {
        add();
        m_volts = volts.value_or(m_volts);
        m_amps = amps.value_or(m_amps);
        add();
    }
    bool full() const { return m_preview.points.size() >= m_most; }

    // Steps [first, last); false once the plan is full.
    bool walk(std::size_t first, std::size_t last)
    {
        for (std::size_t i = first; i < last; ++i) {
            const SequenceStep &s = m_sequence.steps[i];
            if (full()) {
                return false;
            }
            switch (s.kind) {
            case SequenceStep::Kind::Set:
                set(s.voltage ? std::optional<double>(*s.voltage / 100.0) : std::nullopt,
                    s.current ? std::optional<double>(*s.current / 1000.0) : std::nullopt);
                break;
            case SequenceStep::Kind::Hold:
                m_seconds += s.ms / 1000.0;
                break;
            case SequenceStep::Kind::Until:
                if (s.ms > 0) {
                    m_seconds += s.ms / 1000.0;
                } else {
                    m_preview.openEnds.push_back(
                        {m_seconds, s.line, QObject::tr("line %1: open-ended").arg(s.line)});
                    m_seconds += kOpenEndedSeconds;
                }
                break;
            case SequenceStep::Kind::Sweep:
                for (std::size_t p = 0; p < s.pointCount() && !full(); ++p) {
                    const double value = s.point(p);
                    if (s.sweepsVoltage) {
                        set(value / 100.0, std::nullopt);
                    } else {
                        set(std::nullopt, value / 1000.0);
                    }
                    m_seconds += s.ms / 1000.0;
                    m_preview.sweepPoints.push_back(
                        {m_seconds, s.line, QObject::tr("point %1").arg(p), m_volts});
                }
                if (full()) {
                    return false;
                }
                break;
            case SequenceStep::Kind::Repeat:
                for (int pass = 1; pass <= s.count; ++pass) {
                    if (!walk(i + 1, s.match)) {
                        if (m_preview.summary.isEmpty()) {
                            m_preview.summary =
                                QObject::tr("drawn to %1 points: %2 of %3 passes of the repeat "
                                            "at line %4; the rest repeats the same plan")
                                    .arg(m_preview.points.size())
                                    .arg(pass)
                                    .arg(s.count)
                                    .arg(s.line);
                        }
                        return false;
                    }
                }
                i = s.match;
                break;
            case SequenceStep::Kind::Output:
            case SequenceStep::Kind::End:
                break;
            }
        }
        return true;
    }

    const supply::Sequence &m_sequence;
    Preview m_preview;
    double m_seconds = 0;
    double m_volts;
    double m_amps;
    std::size_t m_most;
};

} // namespace

Preview planPreview(const supply::Sequence &sequence, double startVolts, double startAmps,
                    std::size_t mostPoints)
{
    return Planner(sequence, startVolts, startAmps, mostPoints).take();
}

} // namespace sequencer
