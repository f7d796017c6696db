#include "runs/runner.h"

#include <QPointer>

#include <algorithm>

namespace runs {

using sequence::compareText;
using sequence::durationText;
using sequence::quantityName;
using sequence::quantityUnit;

namespace {

// Readings in a row without a good reply before the run gives up on the line.
constexpr int kFailedReadingsToAbort = 3;
// A QTimer's interval is an int of milliseconds; longer waits are re-armed.
constexpr std::int64_t kLongestTimerMs = 24LL * 3600 * 1000;

QString text(const std::string &s)
{
    return QString::fromStdString(s);
}

QString durationOf(qint64 ns)
{
    return text(durationText(ns / 1'000'000));
}

// The quantity an until compares, from a good reading and the counters.
double measure(Quantity q, const records::Row &row)
{
    const protocol::StatusReading &r = *row.reading;
    switch (q) {
    case Quantity::Voltage:
        return r.volts();
    case Quantity::Current:
        return r.amps();
    case Quantity::Power:
        return r.watts();
    case Quantity::AmpHours:
        return row.ampHours;
    case Quantity::WattHours:
        return row.wattHours;
    }
    return 0;
}

QString measuredText(Quantity q, double value)
{
    switch (q) {
    case Quantity::Voltage:
        return QString::number(value, 'f', 2) + QStringLiteral(" V");
    case Quantity::Current:
        return QString::number(value, 'f', 3) + QStringLiteral(" A");
    case Quantity::Power:
        return QString::number(value, 'f', 3) + QStringLiteral(" W");
    case Quantity::AmpHours:
        return QString::number(value, 'f', 6) + QStringLiteral(" Ah");
    case Quantity::WattHours:
        return QString::number(value, 'f', 6) + QStringLiteral(" Wh");
    }
    return {};
}

QString targetName(records::Target target)
{
    switch (target) {
    case records::Target::Voltage:
        return QStringLiteral("the voltage set value");
    case records::Target::Current:
        return QStringLiteral("the current set value");
    case records::Target::Output:
        break;
    }
    return QStringLiteral("the output");
}

// The longest a step's waits can take; -1 when it has no bound.
std::int64_t boundMs(const SequenceStep &s)
{
    switch (s.kind) {
    case SequenceStep::Kind::Hold:
        return s.ms;
    case SequenceStep::Kind::Until:
        return s.ms > 0 ? s.ms : -1;
    case SequenceStep::Kind::Sweep:
        return s.ms * static_cast<std::int64_t>(s.pointCount());
    default:
        return 0;
    }
}

// "current < 0.1A"
QString conditionText(const Condition &c)
{
    return QStringLiteral("%1 %2 %3%4")
        .arg(QLatin1String(quantityName(c.quantity)), QLatin1String(compareText(c.compare)))
        .arg(c.value)
        .arg(QLatin1String(quantityUnit(c.quantity)));
}

} // namespace

// Steps [index, last) of one level; a repeat's level runs `count` passes.
struct Runner::Level {
    std::size_t first = 0;
    std::size_t last = 0;
    std::size_t index = 0;
    int pass = 1;
    int count = 1;
    std::size_t end = 0; // a repeat's End: where the level above goes on after it
};

Runner::Runner(RunLine &line, const Sequence &sequence, RunOptions options, QObject *parent)
    : QObject(parent), m_line(line), m_sequence(sequence), m_options(options)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Runner::waitEnded);
}

Runner::~Runner() = default;

double Runner::elapsedSeconds() const
{
    return static_cast<double>(m_clock.nsecsElapsed()) / 1e9;
}

void Runner::start()
{
    if (m_state != State::Idle) {
        return;
    }
    m_clock.start();
    m_state = State::Stepping;
    m_levels.push_back(Level{0, m_sequence.steps.size(), 0, 1, 1, 0});
    QPointer<Runner> self(this);
    m_line.begin(
        [self](const records::Row &row) {
            if (self) {
                self->onReading(row);
            }
        },
        [self](const engine::Failure &why) {
            if (self) {
                self->lineFailed(why);
            }
        });
    next();
}

void Runner::lineFailed(const engine::Failure &why)
{
    QString text;
    if (why.error == engine::Error::Port) {
        text = why.detail.isEmpty() ? QStringLiteral("the port failed")
                                    : QStringLiteral("the port failed: %1").arg(why.detail);
    } else {
        text = why.detail.isEmpty() ? why.word() : why.detail;
    }
    abort(RunEnd::How::Aborted, text, m_options.keepOnAbort);
}

void Runner::stop(const QString &why, bool keepOutput)
{
    if (!running() || m_state == State::SwitchingOff) {
        return; // a stop never cuts the switching off short
    }
    m_line.interrupt();
    abort(RunEnd::How::Stopped, why, keepOutput || m_options.keepOnAbort);
}

void Runner::fail(const QString &why)
{
    if (!running() || m_state == State::SwitchingOff) {
        return;
    }
    m_line.interrupt();
    abort(RunEnd::How::Aborted, why, m_options.keepOnAbort);
}

void Runner::next()
{
    while (running() && m_state != State::SwitchingOff) {
        if (m_levels.empty()) {
            m_line.end();
            m_ending = true;
            m_end.how = RunEnd::How::Completed;
            m_end.line = m_step != nullptr ? m_step->line : 0;
            m_end.output = RunEnd::Output::AsTheFileLeavesIt;
            emit message(QStringLiteral("completed after %1; the output is left as the file "
                                        "leaves it")
                             .arg(durationOf(m_clock.nsecsElapsed())));
            finish();
            return;
        }
        Level &level = m_levels.back();
        if (level.index >= level.last) {
            if (level.pass < level.count) {
                ++level.pass;
                level.index = level.first;
                const SequenceStep &repeat = m_sequence.steps[level.first - 1];
                emit message(QStringLiteral("line %1: repeat %2 of %3")
                                 .arg(repeat.line)
                                 .arg(level.pass)
                                 .arg(level.count));
                continue;
            }
            const std::size_t after = level.end + 1;
            m_levels.pop_back();
            if (!m_levels.empty()) {
                m_levels.back().index = after;
            }
            continue;
        }
        const std::size_t i = level.index;
        const SequenceStep &s = m_sequence.steps[i];
        if (s.kind == SequenceStep::Kind::Repeat) {
            emit message(QStringLiteral("line %1: repeat 1 of %2").arg(s.line).arg(s.count));
            if (s.count < 1) {
                level.index = s.match + 1;
                continue;
            }
            m_levels.push_back(Level{i + 1, s.match, i + 1, 1, s.count, s.match});
            continue;
        }
        level.index = i + 1;
        if (s.kind == SequenceStep::Kind::End) {
            continue;
        }
        beginStep(s);
        return;
    }
}

void Runner::beginStep(const SequenceStep &s)
{
    m_step = &s;
    m_stepStartedNs = m_clock.nsecsElapsed();
    m_metInARow = 0;
    m_progress.line = s.line;
    m_progress.step = text(s.text);
    m_progress.waitFor.clear();
    m_progress.metInARow = 0;
    m_progress.needed = 0;
    emit message(QStringLiteral("line %1: %2").arg(s.line).arg(text(s.text)));
    m_writes.clear();
    switch (s.kind) {
    case SequenceStep::Kind::Set:
        if (s.voltage) {
            m_writes.emplace_back(records::Target::Voltage, *s.voltage);
        }
        if (s.current) {
            m_writes.emplace_back(records::Target::Current, *s.current);
        }
        m_state = State::Writing;
        emitProgress();
        writeNext();
        return;
    case SequenceStep::Kind::Output:
        m_writes.emplace_back(records::Target::Output, s.on ? 1 : 0);
        m_state = State::Writing;
        emitProgress();
        writeNext();
        return;
    case SequenceStep::Kind::Hold:
        m_state = State::Waiting;
        armTimer(s.ms);
        emitProgress();
        return;
    case SequenceStep::Kind::Until:
        m_state = State::Waiting;
        m_progress.waitFor = conditionText(s.condition);
        m_progress.needed = s.count;
        if (s.ms > 0) {
            armTimer(s.ms);
        }
        emitProgress();
        return;
    case SequenceStep::Kind::Sweep:
        m_point = 0;
        sweepPoint();
        return;
    case SequenceStep::Kind::Repeat:
    case SequenceStep::Kind::End:
        break;
    }
    next();
}

void Runner::sweepPoint()
{
    const SequenceStep &s = *m_step;
    if (m_point >= s.pointCount()) {
        emit message(QStringLiteral("line %1: %2: %3 points after %4")
                         .arg(s.line)
                         .arg(text(s.text))
                         .arg(s.pointCount())
                         .arg(durationOf(m_clock.nsecsElapsed() - m_stepStartedNs)));
        m_boundDoneMs += boundMs(s);
        next();
        return;
    }
    m_pointStartedNs = m_clock.nsecsElapsed();
    m_writes.clear();
    m_writes.emplace_back(s.sweepsVoltage ? records::Target::Voltage : records::Target::Current,
                          s.point(m_point));
    m_state = State::Writing;
    emitProgress();
    writeNext();
}

void Runner::writeNext()
{
    if (m_writes.empty()) {
        if (m_step->kind == SequenceStep::Kind::Sweep) {
            // The dwell counts from the point's start, its write included.
            m_state = State::Waiting;
            const qint64 spentMs = (m_clock.nsecsElapsed() - m_pointStartedNs) / 1'000'000;
            armTimer(std::max<std::int64_t>(0, m_step->ms - spentMs));
            return;
        }
        stepDone(QStringLiteral("confirmed"));
        return;
    }
    // Plain names, not a structured binding: the callbacks below capture them.
    const records::Target target = m_writes.front().first;
    const std::uint16_t value = m_writes.front().second;
    m_writes.erase(m_writes.begin());
    const int line = m_step->line;
    const int token = ++m_token;
    QPointer<Runner> self(this);
    m_line.write(
        target, value,
        [self, line, target, token](const QString &problem) {
            if (self && self->m_token == token) {
                emit self->message(QStringLiteral("line %1: %2 was not confirmed (%3); trying "
                                                  "once more")
                                       .arg(line)
                                       .arg(targetName(target), problem));
            }
        },
        [self, target, token](const records::WriteResult &result) {
            if (self && self->m_token == token && self->m_state == State::Writing) {
                self->onWritten(target, result);
            }
        });
}

void Runner::onWritten(records::Target target, const records::WriteResult &result)
{
    if (result.confirmed) {
        writeNext();
        return;
    }
    if (result.failure.error == engine::Error::Interrupted) {
        return; // the stop that interrupted it has its own account
    }
    if (result.failure.error == engine::Error::Port) {
        abort(RunEnd::How::Aborted,
              QStringLiteral("the port failed: %1").arg(result.failure.detail),
              m_options.keepOnAbort);
        return;
    }
    abort(RunEnd::How::Aborted,
          QStringLiteral("%1 was not confirmed (%2)").arg(targetName(target), result.problem),
          m_options.keepOnAbort);
}

void Runner::stepDone(const QString &how)
{
    const SequenceStep &s = *m_step;
    emit message(QStringLiteral("line %1: %2: %3 after %4")
                     .arg(s.line)
                     .arg(text(s.text), how, durationOf(m_clock.nsecsElapsed() - m_stepStartedNs)));
    m_boundDoneMs += std::max<std::int64_t>(0, boundMs(s));
    m_state = State::Stepping;
    next();
}

void Runner::armTimer(std::int64_t ms)
{
    m_deadlineNs = m_clock.nsecsElapsed() + ms * 1'000'000;
    m_timer.start(static_cast<int>(std::min<std::int64_t>(ms, kLongestTimerMs)));
}

void Runner::waitEnded()
{
    if (m_state != State::Waiting || m_step == nullptr) {
        return;
    }
    const std::int64_t leftNs = m_deadlineNs - m_clock.nsecsElapsed();
    if (leftNs > 1'000'000) { // a wait longer than one timer's reach
        m_timer.start(
            static_cast<int>(std::min<std::int64_t>(leftNs / 1'000'000, kLongestTimerMs)));
        return;
    }
    const SequenceStep &s = *m_step;
    switch (s.kind) {
    case SequenceStep::Kind::Hold:
        stepDone(QStringLiteral("done"));
        return;
    case SequenceStep::Kind::Until: {
        const QString last = measuredText(s.condition.quantity, m_lastMeasured);
        const QString how = m_metInARow > 0 ? QStringLiteral("held for %1 of %2 readings, last %3")
                                                  .arg(m_metInARow)
                                                  .arg(s.count)
                                                  .arg(last)
                                            : QStringLiteral("last %1").arg(last);
        abort(RunEnd::How::Aborted,
              QStringLiteral("%1: not met within %2 (%3)")
                  .arg(text(s.text), text(durationText(s.ms)), how),
              m_options.keepOnAbort);
        return;
    }
    case SequenceStep::Kind::Sweep:
        // The next reading ends the point's dwell and carries its number.
        m_pointReadingDue = true;
        m_line.readSoon();
        return;
    default:
        return;
    }
}

void Runner::onReading(const records::Row &taken)
{
    // The readings that come while the output is switched off are rows of the
    // run too: its record ends with the one that shows the output off.
    if (!running()) {
        return;
    }
    records::Row row = taken;
    row.withStep = true;
    row.step = m_step != nullptr ? m_step->line : 0;
    const bool pointReading = m_pointReadingDue && m_state == State::Waiting;
    if (pointReading) {
        row.point = static_cast<int>(m_point);
        m_pointReadingDue = false;
    }
    ++m_progress.rows;
    m_progress.ampHours = row.ampHours;
    m_progress.wattHours = row.wattHours;
    emit rowTaken(row);
    if (!running() || m_state == State::SwitchingOff) {
        return; // the row could not be kept
    }
    if (!row.reading) {
        if (row.failure.error == engine::Error::Port) {
            return; // the line's failed() ends the run with the port's reason
        }
        m_metInARow = 0; // a reading that failed did not show the condition
        if (++m_failedInARow >= kFailedReadingsToAbort) {
            abort(RunEnd::How::Aborted,
                  QStringLiteral("%1 readings in a row without a good reply (%2)")
                      .arg(m_failedInARow)
                      .arg(row.failure.word()),
                  m_options.keepOnAbort);
        }
        emitProgress();
        return;
    }
    m_failedInARow = 0;
    const std::string exceeded = m_sequence.limits.exceededBy(*row.reading);
    if (!exceeded.empty()) {
        abort(RunEnd::How::Aborted,
              QStringLiteral("%1 (line %2)").arg(text(exceeded)).arg(m_sequence.limits.line),
              m_options.keepOnAbort);
        return;
    }
    if (m_state == State::Waiting && m_step->kind == SequenceStep::Kind::Until) {
        const SequenceStep &s = *m_step;
        m_lastMeasured = measure(s.condition.quantity, row);
        m_metInARow = s.condition.holds(m_lastMeasured) ? m_metInARow + 1 : 0;
        m_progress.metInARow = m_metInARow;
        if (m_metInARow >= s.count) {
            m_timer.stop();
            emit message(QStringLiteral("line %1: %2: met after %3 (%4)")
                             .arg(s.line)
                             .arg(text(s.text),
                                  durationOf(m_clock.nsecsElapsed() - m_stepStartedNs),
                                  measuredText(s.condition.quantity, m_lastMeasured)));
            m_boundDoneMs += std::max<std::int64_t>(0, boundMs(s));
            m_state = State::Stepping;
            next();
            return;
        }
    }
    if (pointReading) {
        ++m_point;
        sweepPoint();
        return;
    }
    emitProgress();
}

void Runner::abort(RunEnd::How how, const QString &why, bool keepOutput)
{
    if (!running() || m_state == State::SwitchingOff) {
        return;
    }
    m_timer.stop();
    ++m_token;
    m_ending = true;
    m_end.how = how;
    m_end.why = why;
    m_end.line = m_step != nullptr ? m_step->line : 0;
    emit message(QStringLiteral("line %1: aborted: %2").arg(m_end.line).arg(why));
    m_line.end();
    if (keepOutput) {
        m_end.output = RunEnd::Output::LeftAsIs;
        finish();
        return;
    }
    m_state = State::SwitchingOff;
    QPointer<Runner> self(this);
    m_line.switchOff([self](const records::WriteResult &result) {
        if (!self || self->m_state != State::SwitchingOff) {
            return;
        }
        if (result.confirmed) {
            self->m_end.output = RunEnd::Output::Off;
            emit self->message(QStringLiteral("the output is switched off, confirmed"));
        } else {
            self->m_end.output = RunEnd::Output::MayBeOn;
            self->m_end.outputProblem = result.problem;
            emit self->message(QStringLiteral("switching the output off was not confirmed (%1): "
                                              "it may still be on")
                                   .arg(result.problem));
        }
        self->finish();
    });
}

void Runner::finish()
{
    m_state = State::Done;
    m_timer.stop();
    emitProgress();
    emit finished(m_end);
}

void Runner::emitProgress()
{
    m_progress.elapsedSeconds = elapsedSeconds();
    const std::optional<std::int64_t> longest = m_sequence.longestMs();
    if (longest) {
        std::int64_t inStep = 0;
        if (m_step != nullptr && m_state != State::Done) {
            inStep = std::min<std::int64_t>((m_clock.nsecsElapsed() - m_stepStartedNs) / 1'000'000,
                                            std::max<std::int64_t>(0, boundMs(*m_step)));
        }
        const std::int64_t left =
            m_state == State::Done ? 0
                                   : std::max<std::int64_t>(0, *longest - m_boundDoneMs - inStep);
        m_progress.remainingSeconds = static_cast<double>(left) / 1000.0;
    } else {
        m_progress.remainingSeconds.reset();
    }
    emit progressChanged(m_progress);
}

} // namespace runs
