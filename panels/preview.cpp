#include "panels/preview.h"

#include <QObject>
#include <QStringList>

#include <algorithm>

namespace panels {

namespace {

using sequence::SequenceStep;

class Planner {
public:
    Planner(const sequence::Sequence &sequence, double volts, double amps, std::size_t most,
            bool on)
        : m_sequence(sequence), m_volts(volts), m_amps(amps), m_most(most), m_on(on)
    {
        add();
    }

    Preview take()
    {
        walk(0, m_sequence.steps.size());
        add();
        if (!m_on) {
            offUntilNow();
        }
        if (!m_cuts.isEmpty()) {
            // Each level adds its part as the walk unwinds, the innermost first.
            std::reverse(m_cuts.begin(), m_cuts.end());
            m_preview.summary = QObject::tr("drawn to %1 points, up to %2; the rest is not drawn")
                                    .arg(m_preview.points.size())
                                    .arg(m_cuts.join(QObject::tr(", within it ")));
        }
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
    void output(bool on)
    {
        if (on && !m_on) {
            offUntilNow();
        } else if (!on && m_on) {
            m_offSince = m_seconds;
        }
        m_on = on;
    }
    void offUntilNow()
    {
        if (m_seconds > m_offSince) {
            m_preview.offSpans.push_back({m_offSince, m_seconds});
        }
    }
    bool full() const { return m_preview.points.size() >= m_most; }

    // Steps [first, last); false once the plan is full.
    bool walk(std::size_t first, std::size_t last)
    {
        for (std::size_t i = first; i < last; ++i) {
            const SequenceStep &s = m_sequence.steps[i];
            if (full()) {
                m_cuts << QObject::tr("line %1").arg(s.line);
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
            case SequenceStep::Kind::Sweep: {
                std::size_t p = 0;
                for (; p < s.pointCount() && !full(); ++p) {
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
                if (p < s.pointCount()) {
                    m_cuts << QObject::tr("%1 of %2 points of the sweep at line %3")
                                  .arg(p)
                                  .arg(s.pointCount())
                                  .arg(s.line);
                    return false;
                }
                break;
            }
            case SequenceStep::Kind::Repeat:
                for (int pass = 1; pass <= s.count; ++pass) {
                    if (!walk(i + 1, s.match)) {
                        m_cuts << QObject::tr("%1 of %2 passes of the repeat at line %3")
                                      .arg(pass)
                                      .arg(s.count)
                                      .arg(s.line);
                        return false;
                    }
                }
                i = s.match;
                break;
            case SequenceStep::Kind::Output:
                output(s.on);
                break;
            case SequenceStep::Kind::End:
                break;
            }
        }
        return true;
    }

    const sequence::Sequence &m_sequence;
    Preview m_preview;
    double m_seconds = 0;
    double m_volts;
    double m_amps;
    std::size_t m_most;
    bool m_on;
    double m_offSince = 0;
    QStringList m_cuts;
};

} // namespace

Preview planPreview(const sequence::Sequence &sequence, double startVolts, double startAmps,
                    std::size_t mostPoints, bool startOn)
{
    return Planner(sequence, startVolts, startAmps, mostPoints, startOn).take();
}

TimeScale timeScaleFor(double spanSeconds)
{
    if (spanSeconds <= 180) {
        return {1, QStringLiteral("s")};
    }
    if (spanSeconds <= 3 * 3600) {
        return {60, QStringLiteral("min")};
    }
    return {3600, QStringLiteral("h")};
}

} // namespace panels
