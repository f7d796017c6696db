#include "ctl/run.h"

#include "ctl/format.h"
#include "ctl/logger.h"
#include "ctl/tool.h"
#include "protocol/frames.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

namespace ctl {

namespace {

using supply::SequenceStep;

// Readings in a row without a good reply before the run gives up on the line.
constexpr int kFailedReadingsToAbort = 3;

QString text(const std::string &s)
{
    return QString::fromStdString(s);
}

QString durationSince(qint64 ns)
{
    return text(supply::durationText(ns / 1'000'000));
}

// The quantity an until compares, from a good reading and the counters.
double measure(supply::Quantity q, const protocol::StatusReading &r, const LogRow &row)
{
    switch (q) {
    case supply::Quantity::Voltage:
        return r.volts();
    case supply::Quantity::Current:
        return r.amps();
    case supply::Quantity::Power:
        return r.watts();
    case supply::Quantity::AmpHours:
        return row.ampHours;
    case supply::Quantity::WattHours:
        return row.wattHours;
    }
    return 0;
}

QString measuredText(supply::Quantity q, double value)
{
    switch (q) {
    case supply::Quantity::Voltage:
        return QString::number(value, 'f', 2) + QStringLiteral(" V");
    case supply::Quantity::Current:
        return QString::number(value, 'f', 3) + QStringLiteral(" A");
    case supply::Quantity::Power:
        return QString::number(value, 'f', 3) + QStringLiteral(" W");
    case supply::Quantity::AmpHours:
        return QString::number(value, 'f', 6) + QStringLiteral(" Ah");
    case supply::Quantity::WattHours:
        return QString::number(value, 'f', 6) + QStringLiteral(" Wh");
    }
    return {};
}

} // namespace

Runner::Runner(Link &link, const supply::Sequence &sequence, RunOptions options, QObject *parent)
    : QObject(parent), m_link(link), m_sequence(sequence), m_options(options)
{
}

int Runner::run()
{
    m_clock.start();
    const bool completed = execute(0, m_sequence.steps.size());
    bool offConfirmed = true;
    if (completed) {
        printErr(QStringLiteral("completed after %1; the output is left as the file leaves it")
                     .arg(durationSince(nowNs())));
    } else {
        printErr(QStringLiteral("line %1: aborted: %2").arg(m_whyLine).arg(m_why));
        if (m_options.keepOnAbort) {
            printErr(QStringLiteral("the output is left as it is (--on-abort keep)"));
        } else {
            offConfirmed = switchOff();
        }
    }
    for (const QString &line : linkSummary(m_link.stats())) {
        printErr(line);
    }
    if (!offConfirmed) {
        return kExitFailed;
    }
    if (m_signal != 0) {
        return 128 + m_signal;
    }
    return completed ? kExitOk : kExitFailed;
}

void Runner::stop(int signalNumber)
{
    if (m_signal == 0) {
        m_signal = signalNumber;
    }
    if (!m_switchingOff) {
        m_link.interrupt();
    }
}

void Runner::writerFailed()
{
    m_writerFailed = true;
    m_link.interrupt();
}

bool Runner::abort(int line, const QString &why)
{
    if (!m_aborted) {
        m_aborted = true;
        m_whyLine = line;
        m_why = why;
    }
    return false;
}

bool Runner::execute(std::size_t first, std::size_t last)
{
    for (std::size_t i = first; i < last; ++i) {
        const SequenceStep &s = m_sequence.steps[i];
        if (s.kind == SequenceStep::Kind::Repeat) {
            for (int pass = 1; pass <= s.count; ++pass) {
                printErr(
                    QStringLiteral("line %1: repeat %2 of %3").arg(s.line).arg(pass).arg(s.count));
                if (!execute(i + 1, s.match)) {
                    return false;
                }
            }
            i = s.match;
            continue;
        }
        if (!step(s)) {
            return false;
        }
    }
    return true;
}

bool Runner::step(const SequenceStep &s)
{
    m_line = s.line;
    const QString what = text(s.text);
    const qint64 started = nowNs();
    printErr(QStringLiteral("line %1: %2").arg(s.line).arg(what));
    QString how;
    switch (s.kind) {
    case SequenceStep::Kind::Set: {
        if (s.voltage &&
            !confirmedWrite(
                protocol::buildSetVoltageRequest(m_options.address, *s.voltage),
                [v = *s.voltage](const protocol::StatusReading &r) { return r.setVoltage == v; },
                s.line, QStringLiteral("the voltage set value"))) {
            return false;
        }
        if (s.current &&
            !confirmedWrite(
                protocol::buildSetCurrentRequest(m_options.address, *s.current),
                [a = *s.current](const protocol::StatusReading &r) { return r.setCurrent == a; },
                s.line, QStringLiteral("the current set value"))) {
            return false;
        }
        how = QStringLiteral("confirmed");
        break;
    }
    case SequenceStep::Kind::Output:
        if (!confirmedWrite(
                protocol::buildSwitchOutputRequest(m_options.address, s.on),
                [on = s.on](const protocol::StatusReading &r) { return r.outputOn == on; }, s.line,
                QStringLiteral("the output"))) {
            return false;
        }
        how = QStringLiteral("confirmed");
        break;
    case SequenceStep::Kind::Hold:
        if (readUntil(started + s.ms * 1'000'000) == Wait::Aborted) {
            return false;
        }
        how = QStringLiteral("done");
        break;
    case SequenceStep::Kind::Until:
        return until(s);
    case SequenceStep::Kind::Sweep:
        return sweep(s);
    case SequenceStep::Kind::Repeat:
    case SequenceStep::Kind::End:
        return true;
    }
    printErr(QStringLiteral("line %1: %2: %3 after %4")
                 .arg(s.line)
                 .arg(what, how, durationSince(nowNs() - started)));
    return true;
}

bool Runner::until(const SequenceStep &s)
{
    const qint64 started = nowNs();
    const supply::Condition &c = s.condition;
    int inARow = 0;
    double last = 0;
    const Wait wait =
        readUntil(s.ms > 0 ? std::optional<qint64>(started + s.ms * 1'000'000) : std::nullopt,
                  [&](const LogRow &row) {
                      if (!row.reading) {
                          inARow = 0; // a reading that failed did not show the condition
                          return false;
                      }
                      last = measure(c.quantity, *row.reading, row);
                      inARow = c.holds(last) ? inARow + 1 : 0;
                      return inARow >= s.count;
                  });
    if (wait == Wait::Aborted) {
        return false;
    }
    if (wait == Wait::Elapsed) {
        return abort(s.line, QStringLiteral("%1: not met within %2 (last %3)")
                                 .arg(text(s.text), text(supply::durationText(s.ms)),
                                      measuredText(c.quantity, last)));
    }
    printErr(
        QStringLiteral("line %1: %2: met after %3 (%4)")
            .arg(s.line)
            .arg(text(s.text), durationSince(nowNs() - started), measuredText(c.quantity, last)));
    return true;
}

bool Runner::sweep(const SequenceStep &s)
{
    const qint64 started = nowNs();
    const std::size_t count = s.pointCount();
    for (std::size_t p = 0; p < count; ++p) {
        const std::uint16_t value = s.point(p);
        const qint64 pointStarted = nowNs();
        const bool ok =
            s.sweepsVoltage
                ? confirmedWrite(
                      protocol::buildSetVoltageRequest(m_options.address, value),
                      [value](const protocol::StatusReading &r) { return r.setVoltage == value; },
                      s.line, QStringLiteral("the voltage set value"))
                : confirmedWrite(
                      protocol::buildSetCurrentRequest(m_options.address, value),
                      [value](const protocol::StatusReading &r) { return r.setCurrent == value; },
                      s.line, QStringLiteral("the current set value"));
        if (!ok || readUntil(pointStarted + s.ms * 1'000'000) == Wait::Aborted) {
            return false;
        }
        LogRow row;
        if (!takeReading(&row, static_cast<int>(p))) {
            return false;
        }
    }
    printErr(QStringLiteral("line %1: %2: %3 points after %4")
                 .arg(s.line)
                 .arg(text(s.text))
                 .arg(count)
                 .arg(durationSince(nowNs() - started)));
    return true;
}

bool Runner::confirmedWrite(const protocol::Frame &request,
                            const std::function<bool(const protocol::StatusReading &)> &confirms,
                            int line, const QString &what)
{
    QString problem;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        const Reply reply = m_link.write(request);
        if (reply.outcome == Outcome::Interrupted) {
            return abort(line, m_writerFailed ? QStringLiteral("a row could not be written")
                                              : QStringLiteral("stopped by a signal"));
        }
        if (reply.outcome == Outcome::PortFailed) {
            return abort(line, QStringLiteral("the port failed: %1").arg(reply.error));
        }
        if (reply.ok()) {
            LogRow row;
            if (!takeReading(&row)) {
                return false;
            }
            if (row.reading && confirms(*row.reading)) {
                return true;
            }
            problem = row.reading ? QStringLiteral("the read-back differs")
                                  : QStringLiteral("no read-back (%1)").arg(row.error);
        } else {
            problem = outcomeWord(reply.outcome, reply.exceptionCode);
        }
        if (attempt == 1) {
            printErr(QStringLiteral("line %1: %2 was not confirmed (%3); trying once more")
                         .arg(line)
                         .arg(what, problem));
        }
    }
    return abort(line, QStringLiteral("%1 was not confirmed (%2)").arg(what, problem));
}

Runner::Wait Runner::readUntil(std::optional<qint64> endNs,
                               const std::function<bool(const LogRow &)> &met)
{
    for (;;) {
        const qint64 now = nowNs();
        if (endNs && now >= *endNs) {
            return Wait::Elapsed;
        }
        if (now < m_nextReadingNs) {
            const qint64 wake = endNs ? std::min(*endNs, m_nextReadingNs) : m_nextReadingNs;
            const auto wait = std::chrono::ceil<milliseconds>(std::chrono::nanoseconds(wake - now));
            if (!m_link.sleep(wait)) {
                abort(m_line, m_writerFailed ? QStringLiteral("a row could not be written")
                                             : QStringLiteral("stopped by a signal"));
                return Wait::Aborted;
            }
            continue;
        }
        // The schedule keeps its slots; after a step that took longer (a
        // confirmed write, a slow reply) it starts again from now rather than
        // reading back to back. Read-backs and marked readings come on top.
        const qint64 interval = std::chrono::nanoseconds(m_options.interval).count();
        m_nextReadingNs =
            now - m_nextReadingNs >= interval ? now + interval : m_nextReadingNs + interval;
        LogRow row;
        if (!takeReading(&row)) {
            return Wait::Aborted;
        }
        if (met && met(row)) {
            return Wait::Met;
        }
    }
}

bool Runner::takeReading(LogRow *row, std::optional<int> point)
{
    const qint64 now = nowNs();
    row->time = QDateTime::currentDateTime();
    row->elapsedSeconds = static_cast<double>(now) / 1e9;
    row->address = m_options.address;
    row->withStep = true;
    row->step = m_line;
    row->point = point;
    const Reply reply = m_link.readStatus(m_options.address);
    if (reply.outcome == Outcome::Interrupted) {
        return abort(m_line, m_writerFailed ? QStringLiteral("a row could not be written")
                                            : QStringLiteral("stopped by a signal"));
    }
    if (reply.outcome == Outcome::PortFailed) {
        row->error = QStringLiteral("port failed");
    } else if (reply.ok()) {
        row->reading = protocol::decodeStatusReading(reply.data(), reply.size());
        if (!row->reading) {
            row->error = QStringLiteral("foreign"); // words no supply reports
        }
    } else {
        row->error = outcomeWord(reply.outcome, reply.exceptionCode);
    }
    if (row->reading) {
        m_energy.add(row->elapsedSeconds, *row->reading);
    }
    row->ampHours = m_energy.ampHours();
    row->wattHours = m_energy.wattHours();
    emit readingTaken(*row);
    if (m_writerFailed) {
        return abort(m_line, QStringLiteral("a row could not be written"));
    }
    if (reply.outcome == Outcome::PortFailed) {
        return abort(m_line, QStringLiteral("the port failed: %1").arg(reply.error));
    }
    if (!row->reading) {
        if (++m_failedInARow >= kFailedReadingsToAbort) {
            return abort(m_line, QStringLiteral("%1 readings in a row without a good reply (%2)")
                                     .arg(m_failedInARow)
                                     .arg(row->error));
        }
        return true;
    }
    m_failedInARow = 0;
    m_last = row->reading;
    const std::string exceeded = m_sequence.limits.exceededBy(*row->reading);
    if (!exceeded.empty()) {
        return abort(
            m_line, QStringLiteral("%1 (line %2)").arg(text(exceeded)).arg(m_sequence.limits.line));
    }
    return true;
}

bool Runner::switchOff()
{
    m_switchingOff = true;
    m_link.resume();
    const protocol::Frame request = protocol::buildSwitchOutputRequest(m_options.address, false);
    QString problem;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        const Reply reply = m_link.write(request);
        if (reply.outcome == Outcome::PortFailed) {
            problem = QStringLiteral("the port failed: %1").arg(reply.error);
            break;
        }
        if (reply.ok()) {
            const Reply back = m_link.readStatus(m_options.address);
            const auto reading =
                back.ok() ? protocol::decodeStatusReading(back.data(), back.size()) : std::nullopt;
            if (reading && !reading->outputOn) {
                printErr(QStringLiteral("the output is switched off, confirmed"));
                return true;
            }
            problem = reading ? QStringLiteral("the read-back says on")
                              : QStringLiteral("no read-back (%1)")
                                    .arg(outcomeWord(back.outcome, back.exceptionCode));
        } else {
            problem = outcomeWord(reply.outcome, reply.exceptionCode);
        }
    }
    printErr(QStringLiteral("switching the output off was not confirmed (%1): it may still be on")
                 .arg(problem));
    return false;
}

} // namespace ctl
