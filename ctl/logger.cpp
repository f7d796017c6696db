#include "ctl/logger.h"

#include "ctl/format.h"
#include "ctl/tool.h"
#include "protocol/frames.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace ctl {

namespace {

constexpr int kReadingsBeforeCutOff = 3;
constexpr int kStdoutFd = 1;
// How late a round may start before the rounds it missed are given up.
constexpr qint64 kLongestCatchUp = 2'000'000'000; // ns

// The value at fraction `q` of the sorted values, by nearest rank.
double percentile(std::vector<double> values, double q)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

} // namespace

Logger::Logger(Link &link, LogOptions options, QObject *parent)
    : QObject(parent), m_link(link), m_options(std::move(options))
{
    for (const std::uint8_t a : m_options.addresses) {
        m_states[a];
    }
}

int Logger::run()
{
    const qint64 interval = std::chrono::nanoseconds(m_options.interval).count();
    const qint64 duration =
        m_options.duration ? std::chrono::nanoseconds(*m_options.duration).count() : -1;
    m_clock.start();
    for (qint64 k = 0;; ++k) {
        qint64 slot = k * interval;
        if (duration >= 0 && slot >= duration) {
            m_end = End::Duration;
            break;
        }
        const qint64 now = m_clock.nsecsElapsed();
        if (now < slot) {
            const auto wait = std::chrono::ceil<milliseconds>(std::chrono::nanoseconds(slot - now));
            if (!m_link.sleep(wait)) {
                m_end = End::Stopped;
                break;
            }
        } else if (now - slot >= std::max(interval, kLongestCatchUp)) {
            // A stall (a suspended machine, say): start now and owe no rounds missed,
            // rather than reading them back to back. Shorter delays are caught up.
            k = now / interval;
            slot = k * interval;
        }
        const qint64 started = m_clock.nsecsElapsed();
        m_lastLagMs = static_cast<double>(started - slot) / 1e6;
        ++m_rounds;
        bool go = true;
        for (const std::uint8_t address : m_options.addresses) {
            // A round longer than the interval still ends at the duration; the
            // reading in progress is finished.
            if (duration >= 0 && m_clock.nsecsElapsed() >= duration) {
                m_end = End::Duration;
                go = false;
                break;
            }
            go = readOne(address);
            if (!go) {
                break;
            }
        }
        if (!go) {
            break;
        }
        const qint64 took = m_clock.nsecsElapsed() - started;
        if (took > interval && !m_warnedSlow) {
            m_warnedSlow = true;
            printErr(QStringLiteral("a round over %1 took %2 ms, more than the %3 ms interval; "
                                    "running as fast as the line allows")
                         .arg(m_options.addresses.size() == 1
                                  ? QStringLiteral("1 address")
                                  : QStringLiteral("%1 addresses").arg(m_options.addresses.size()))
                         .arg(took / 1000000)
                         .arg(m_options.interval.count()));
        }
        if (m_options.stopBelowAmps && everyOutputCutOff()) {
            m_end = End::CutOff;
            break;
        }
    }

    // A log that watches for the cut-off and ends before it (a signal, a closed
    // terminal, a failed write, its duration) switches the outputs off: nothing
    // watches the current any more.
    const bool cutOffOwed = m_options.stopBelowAmps && m_end != End::CutOff;
    bool offConfirmed = true;
    if ((m_options.offAtEnd || cutOffOwed) && m_end != End::PortFailed) {
        m_link.resume(); // a second stop still ends the switching off
        offConfirmed = switchAllOff();
    }
    for (const QString &line : summary()) {
        printErr(line);
    }
    if (m_end == End::PortFailed) {
        printErr(
            m_options.portName.isEmpty()
                ? QStringLiteral("the port was lost: %1").arg(m_portError)
                : QStringLiteral("the port %1 was lost: %2").arg(m_options.portName, m_portError));
        return kExitFailed;
    }
    if (m_end == End::WriterFailed || !offConfirmed) {
        return kExitFailed;
    }
    return kExitOk;
}

void Logger::writerFailed()
{
    if (m_end != End::PortFailed) { // the port's loss is the news
        m_end = End::WriterFailed;
    }
    m_link.interrupt();
}

bool Logger::readOne(std::uint8_t address)
{
    LogRow row;
    row.time = QDateTime::currentDateTime();
    row.elapsedSeconds = static_cast<double>(m_clock.nsecsElapsed()) / 1e9;
    row.address = address;
    const Reply reply = m_link.readStatus(address);
    if (reply.outcome == Outcome::Interrupted) {
        if (m_end != End::WriterFailed) {
            m_end = End::Stopped;
        }
        return false;
    }
    if (reply.outcome == Outcome::PortFailed) {
        // The reading in progress gets its row, as any failed reading does.
        m_end = End::PortFailed;
        const QString why = m_options.portLostReason ? m_options.portLostReason() : QString();
        m_portError = why.isEmpty() ? reply.error : why;
    }
    if (reply.ok()) {
        row.reading = protocol::decodeStatusReading(reply.data(), reply.size());
        if (!row.reading) {
            row.error = QStringLiteral("foreign"); // words no supply reports
        }
    } else {
        row.error = outcomeWord(reply.outcome, reply.exceptionCode);
    }
    AddressState &state = m_states[address];
    if (row.reading) {
        state.energy.add(row.elapsedSeconds, *row.reading);
    }
    row.ampHours = state.energy.ampHours();
    row.wattHours = state.energy.wattHours();
    emit readingTaken(row);
    if (m_end == End::WriterFailed || m_end == End::PortFailed) {
        return false;
    }
    if (row.reading) {
        state.outputOn = row.reading->outputOn;
        if (m_options.stopBelowAmps) {
            checkCutOff(address, state, *row.reading);
        }
    }
    return !m_link.interrupted();
}

void Logger::checkCutOff(std::uint8_t address, AddressState &state,
                         const protocol::StatusReading &r)
{
    const bool low = r.outputOn && r.amps() < *m_options.stopBelowAmps;
    state.lowReadings = low ? state.lowReadings + 1 : 0;
    if (state.lowReadings < kReadingsBeforeCutOff) {
        return;
    }
    const Reply reply = m_link.write(protocol::buildSwitchOutputRequest(address, false));
    if (reply.ok()) {
        ++m_cutOffs;
        state.lowReadings = 0;
        state.outputOn = false;
        printErr(QStringLiteral("address %1: output switched off at %2 A, below %3 A")
                     .arg(address)
                     .arg(fixedPoint(r.actualCurrent, 3))
                     .arg(*m_options.stopBelowAmps));
    } else if (reply.outcome != Outcome::Interrupted) {
        printErr(QStringLiteral("address %1: switching the output off failed (%2); "
                                "trying again after the next reading")
                     .arg(address)
                     .arg(outcomeWord(reply.outcome, reply.exceptionCode)));
    }
}

bool Logger::everyOutputCutOff() const
{
    return m_cutOffs > 0 && std::all_of(m_states.begin(), m_states.end(), [](const auto &entry) {
               return entry.second.outputOn == false;
           });
}

bool Logger::switchAllOff()
{
    bool allConfirmed = true;
    for (const std::uint8_t address : m_options.addresses) {
        const Reply reply = m_link.write(protocol::buildSwitchOutputRequest(address, false));
        if (reply.ok()) {
            printErr(QStringLiteral("address %1: output switched off").arg(address));
        } else {
            allConfirmed = false;
            printErr(QStringLiteral("address %1: switching the output off was not confirmed (%2)")
                         .arg(address)
                         .arg(outcomeWord(reply.outcome, reply.exceptionCode)));
        }
    }
    return allConfirmed;
}

QStringList linkSummary(const LinkStats &s)
{
    return {
        QStringLiteral("link: %1 requests, %2 replies, %3 timeouts, %4 bad CRC, %5 foreign, "
                       "%6 short")
            .arg(s.requests)
            .arg(s.replies)
            .arg(s.timeouts)
            .arg(s.badCrc)
            .arg(s.foreign)
            .arg(s.shortReplies),
        QStringLiteral("round trip: median %1 ms, p99 %2 ms (a status read takes %3 ms on "
                       "the wire, plus the supply's latency)")
            .arg(percentile(s.roundTripsMs, 0.5), 0, 'f', 1)
            .arg(percentile(s.roundTripsMs, 0.99), 0, 'f', 1)
            .arg(kStatusFloorMs, 0, 'f', 1),
    };
}

QStringList Logger::summary() const
{
    return linkSummary(m_link.stats())
           << QStringLiteral("schedule: %1 rounds every %2 ms; the last started %3 ms after its "
                             "slot")
                  .arg(m_rounds)
                  .arg(m_options.interval.count())
                  .arg(m_lastLagMs, 0, 'f', 1);
}

QString RowWriter::refusal(const QString &path, Format format, Existing existing)
{
    QFile file(path);
    if (path.isEmpty() || existing == Existing::Overwrite || file.size() == 0) {
        return {};
    }
    if (existing == Existing::Refuse) {
        return QStringLiteral("%1 holds data already; give --append to add rows after it or "
                              "--overwrite to replace it")
            .arg(path);
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    }
    const QByteArray first = file.readLine().trimmed();
    bool matches = false;
    if (format == Format::Csv) {
        matches = first == LogRow::csvHeader().toUtf8();
    } else {
        const QJsonObject object = QJsonDocument::fromJson(first).object();
        const QJsonObject expected = QJsonDocument::fromJson(LogRow().jsonLine().toUtf8()).object();
        matches = !object.isEmpty() && object.keys() == expected.keys();
    }
    if (!matches) {
        return QStringLiteral("--append: %1 does not begin as this log's %2 does")
            .arg(path, format == Format::Csv ? QStringLiteral("CSV header")
                                             : QStringLiteral("JSON lines"));
    }
    return {};
}

bool RowWriter::open(const QString &path, Existing existing, QString *error)
{
    m_file.setFileName(path);
    const bool appending = !path.isEmpty() && existing == Existing::Append && m_file.size() > 0;
    bool endsInNewline = true;
    if (appending && m_file.open(QIODevice::ReadOnly)) {
        m_file.seek(m_file.size() - 1);
        endsInNewline = m_file.read(1) == "\n";
        m_file.close();
    }
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered |
                                     (appending ? QIODevice::Append : QIODevice::Truncate);
    if (path.isEmpty() && !outputError().isEmpty()) {
        *error = outputError();
        return false;
    }
    const bool opened = path.isEmpty()
                            ? m_file.open(kStdoutFd, QIODevice::WriteOnly | QIODevice::Unbuffered)
                            : m_file.open(mode);
    if (!opened) {
        *error = m_file.errorString();
        return false;
    }
    // A last line cut short (a process killed mid-write) is ended before new rows.
    const bool written = appending                 ? (endsInNewline || writeLine(QString()))
                         : m_format == Format::Csv ? writeLine(LogRow::csvHeader(m_withStep))
                                                   : true;
    if (!written) {
        *error = m_file.errorString();
        return false;
    }
    return true;
}

QString RowWriter::errorString() const
{
    return m_file.errorString();
}

bool RowWriter::write(const LogRow &row)
{
    return writeLine(m_format == Format::Csv ? row.csvLine() : row.jsonLine());
}

bool RowWriter::writeLine(const QString &line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    return m_file.write(bytes) == bytes.size();
}

} // namespace ctl
