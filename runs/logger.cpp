#include "runs/logger.h"

#include "records/format.h"

#include <QDateTime>

#include <algorithm>
#include <utility>

namespace runs {

namespace {

constexpr int kReadingsBeforeCutOff = 3;

} // namespace

namespace {

engine::SessionSettings logSettings(milliseconds interval)
{
    engine::SessionSettings settings;
    settings.roundInterval = interval;
    settings.fixedSlots = true;
    // A lost port costs no round: with a port keeper each reading while it is
    // away is a row, on the slots as ever.
    settings.portRetry = milliseconds(0);
    return settings;
}

} // namespace

Logger::Logger(engine::Client &client, LogOptions options, QObject *parent)
    : Logger(client, std::move(options), nullptr, engine::steadyClock(),
             engine::makeQtSessionTimer(true), parent)
{
}

Logger::Logger(engine::Client &client, LogOptions options, std::shared_ptr<records::WritePath> path,
               const engine::EngineClock &clock, std::unique_ptr<engine::SessionTimer> timer,
               QObject *parent)
    : QObject(parent), m_client(client), m_clock(clock), m_options(std::move(options)),
      m_schedule(m_options.interval, m_options.duration),
      m_line(path ? std::move(path) : std::make_shared<records::ClientWritePath>(client, m_rows)),
      m_session(m_line, clock, std::move(timer), logSettings(m_options.interval))
{
    for (const std::uint8_t a : m_options.addresses) {
        m_states[a];
    }
}

void Logger::start()
{
    m_start = m_clock.now();
    m_schedule.start(0);
    m_session.watchRounds(m_caller, [this](const engine::RoundNotice &notice) { round(notice); });
    m_session.poll(m_caller, m_options.addresses,
                   [this](const engine::LineAnswer &) { taken(m_line.last()); });
}

void Logger::round(const engine::RoundNotice &notice)
{
    if (m_ending) {
        return;
    }
    if (notice.started) {
        roundStarted(notice);
    } else {
        roundEnded();
    }
}

void Logger::roundStarted(const engine::RoundNotice &notice)
{
    m_roundStartedNs = nsSinceStart(notice.at);
    if (m_schedule.over(m_roundStartedNs)) {
        end(End::Duration);
        return;
    }
    // The first round is counted once its request went out (taken()).
    if (m_aligned) {
        m_schedule.roundTaken(notice.slot);
    }
    m_next = 0;
    m_inFlight = true;
}

void Logger::roundEnded()
{
    m_inFlight = false;
    const bool handedOver = m_client.handovers() != m_handoversSeen;
    m_handoversSeen = m_client.handovers();
    if (const auto slow = m_schedule.roundEnded(nowNs() - m_roundStartedNs, handedOver)) {
        const std::size_t n = m_options.addresses.size();
        emit message(
            QStringLiteral("a round over %1 took %2 ms, more than the %3 ms interval; "
                           "running as fast as the line allows")
                .arg(n == 1 ? QStringLiteral("1 address") : QStringLiteral("%1 addresses").arg(n))
                .arg(*slow / 1000000)
                .arg(m_options.interval.count()));
    }
    if (m_options.stopBelowAmps && everyOutputOff()) {
        end(End::CutOff);
        return;
    }
    if (m_schedule.over(nowNs())) {
        end(End::Duration);
    }
}

void Logger::goOn()
{
    // Between two readings of a round: the session sends the next one when this
    // returns, unless the log ends here.
    if (m_ending) {
        return;
    }
    if (m_stopAsked) {
        end(End::Stopped);
        return;
    }
    // A round longer than the interval still ends at the duration: the reading
    // in progress is finished, no other starts.
    if (m_next < m_options.addresses.size() && m_schedule.over(nowNs())) {
        end(End::Duration);
    }
}

void Logger::taken(const records::Reading &reading)
{
    if (m_ending) {
        return;
    }
    if (reading.failure.error == engine::Error::Interrupted) {
        end(m_writerFailed ? End::WriterFailed : End::Stopped);
        return;
    }
    if (!m_aligned) {
        // The first request waited for the line to be quiet: the slots count from
        // when it went out, as the session's do.
        m_aligned = true;
        m_roundStartedNs = nsSinceStart(m_session.slotOrigin());
        m_schedule.start(m_roundStartedNs);
        m_schedule.roundTaken({});
    }
    // The reading in progress gets its row, a failed one and the last one too.
    emit rowTaken(reading.row);
    if (reading.failure.error == engine::Error::Port && !m_keeper) {
        end(End::PortFailed, reading.failure.detail);
        return;
    }
    if (m_writerFailed) {
        end(End::WriterFailed);
        return;
    }
    const auto address = static_cast<std::uint8_t>(reading.row.address);
    ++m_next;
    if (reading.good()) {
        AddressState &state = m_states[address];
        state.outputOn = reading.row.reading->outputOn;
        if (m_options.stopBelowAmps) {
            const protocol::StatusReading &r = *reading.row.reading;
            const bool low = r.outputOn && r.amps() < *m_options.stopBelowAmps;
            state.lowReadings = low ? state.lowReadings + 1 : 0;
            if (state.lowReadings >= kReadingsBeforeCutOff) {
                cutOff(address, r);
                return;
            }
        }
    }
    goOn();
}

void Logger::cutOff(std::uint8_t address, const protocol::StatusReading &r)
{
    // The session sends the switch-off before the round's next reading.
    engine::WriteWatch watch;
    watch.done = [this, address, r](const engine::WriteOutcome &outcome) {
        const records::WriteResult result = records::writeResultOf(outcome);
        AddressState &state = m_states[address];
        if (result.confirmed) {
            ++m_cutOffs;
            state.lowReadings = 0;
            state.outputOn = false;
            emit message(QStringLiteral("address %1: output switched off at %2 A, below %3 A")
                             .arg(address)
                             .arg(records::fixedPoint(r.actualCurrent, 3))
                             .arg(*m_options.stopBelowAmps));
        } else if (result.failure.error == engine::Error::Interrupted) {
            end(m_writerFailed ? End::WriterFailed : End::Stopped);
            return;
        } else if (result.failure.error == engine::Error::Port && !m_keeper) {
            end(End::PortFailed, result.failure.detail);
            return;
        } else {
            emit message(QStringLiteral("address %1: switching the output off failed (%2); "
                                        "trying again after the next reading")
                             .arg(address)
                             .arg(result.problem));
        }
        goOn();
    };
    m_session.write(m_caller, {records::writeRequest(address, records::Target::Output, 0)},
                    records::confirmsWrite(records::Target::Output, 0), std::move(watch));
}

bool Logger::everyOutputOff() const
{
    // One rule for one address or many: the log ends once every output is known
    // to be off, switched off by the cut-off or off already.
    return std::all_of(m_states.begin(), m_states.end(),
                       [](const auto &entry) { return entry.second.outputOn == false; });
}

void Logger::stop()
{
    m_stopAsked = true;
    m_client.interrupt();
    if (!m_inFlight) {
        end(End::Stopped);
    }
}

void Logger::writerFailed()
{
    m_writerFailed = true;
    m_client.interrupt();
    if (!m_inFlight) {
        end(End::WriterFailed);
    }
}

void Logger::end(End how, const QString &portError)
{
    if (m_ending) {
        return;
    }
    m_ending = true;
    // No round after this one; a cut-off on the line ends as it will.
    m_session.poll(m_caller, {}, {});
    m_session.watchRounds(m_caller, {});
    emit ending();
    Outcome outcome{how, portError, true};
    // A log that watches for the cut-off and ends before it (a signal, a closed
    // terminal, a failed write, its duration) switches the outputs off: nothing
    // watches the current any more.
    const bool cutOffOwed = m_options.stopBelowAmps && how != End::CutOff;
    if ((m_options.offAtEnd || cutOffOwed) && how != End::PortFailed) {
        m_client.resume(); // a second stop still does not end the switching off
        if (m_keeper && !m_keeper->isOpen()) {
            emit message(QStringLiteral("waiting up to %1 s for the port to switch the output "
                                        "off")
                             .arg(line::PortKeeper::kWaitToSwitchOff.count() / 1000));
            m_keeper->whenOpen(line::PortKeeper::kWaitToSwitchOff, [this, outcome](bool) {
                m_client.resume();
                switchOffAll(outcome);
            });
            return;
        }
        switchOffAll(outcome);
        return;
    }
    conclude(outcome);
}

void Logger::allOff(std::function<void(const engine::AllOffOutcome &)> done)
{
    m_session.allOff(m_caller, m_options.addresses, std::move(done));
}

void Logger::switchOffAll(Outcome outcome)
{
    m_session.allOff(m_caller, m_options.addresses,
                     [this, outcome](const engine::AllOffOutcome &all) mutable {
                         for (const QString &line : switchOffLines(m_options.addresses, all)) {
                             emit message(line);
                         }
                         outcome.offConfirmed = all.failed.empty();
                         conclude(outcome);
                     });
}

void Logger::conclude(const Outcome &outcome)
{
    for (const QString &line : summary()) {
        emit message(line);
    }
    bool failed = false;
    if (outcome.how == End::PortFailed) {
        emit message(m_options.portName.isEmpty()
                         ? QStringLiteral("the port was lost: %1").arg(outcome.portError)
                         : QStringLiteral("the port %1 was lost: %2")
                               .arg(m_options.portName, outcome.portError));
        if (m_options.offAtEnd || m_options.stopBelowAmps) {
            for (const auto &[address, state] : m_states) {
                if (state.outputOn != false) {
                    emit message(QStringLiteral("address %1: the output could not be switched off: "
                                                "it may still be on")
                                     .arg(address));
                }
            }
        }
        failed = true;
    } else if (outcome.how == End::WriterFailed || !outcome.offConfirmed) {
        failed = true;
    } else if (m_keeper && !m_keeper->isOpen()) {
        // Stopped while the port was away: the rows since it went carry no readings.
        failed = true;
    }
    emit finished(failed);
}

QStringList switchOffLines(const std::vector<std::uint8_t> &addresses,
                           const engine::AllOffOutcome &outcome)
{
    QStringList lines;
    for (const std::uint8_t address : addresses) {
        const auto failed =
            std::find_if(outcome.failed.begin(), outcome.failed.end(),
                         [address](const auto &entry) { return entry.first == address; });
        const bool off =
            std::find(outcome.off.begin(), outcome.off.end(), address) != outcome.off.end();
        if (off && failed == outcome.failed.end()) {
            lines << QStringLiteral("address %1: output switched off").arg(address);
        } else {
            // An address the all-off gave no word of is not taken for off.
            const QString problem = failed == outcome.failed.end() ? QStringLiteral("no answer")
                                                                   : failed->second.problem;
            lines << QStringLiteral("address %1: switching the output off was not confirmed "
                                    "(%2): it may still be on")
                         .arg(address)
                         .arg(problem);
        }
    }
    return lines;
}

QStringList linkSummary(const engine::LinkStats &s)
{
    QString link = QStringLiteral("link: %1 requests, %2 replies, %3 timeouts, %4 bad CRC, "
                                  "%5 foreign, %6 short")
                       .arg(s.requests)
                       .arg(s.replies)
                       .arg(s.timeouts)
                       .arg(s.badCrc)
                       .arg(s.foreign)
                       .arg(s.shortReplies);
    // Named only when they happened, so that the usual line stays as it was.
    const std::pair<long, const char *> ends[] = {
        {s.handedOver, "cut off by a handover (asked again)"},
        {s.interrupted, "interrupted"},
        {s.portLost, "lost with the port"},
        {s.refused, "refused by the line's owner"},
    };
    for (const auto &[count, what] : ends) {
        if (count > 0) {
            link += QStringLiteral(", %1 %2").arg(count).arg(QLatin1String(what));
        }
    }
    if (s.late > 0) {
        link += QStringLiteral(", %1 late").arg(s.late);
    }
    if (s.junkBytes > 0) {
        link += QStringLiteral(", %1 junk bytes skipped").arg(s.junkBytes);
    }
    const QString floor = QStringLiteral("a status read takes %1 ms on the wire, plus the "
                                         "supply's latency")
                              .arg(engine::kStatusFloorMs, 0, 'f', 1);
    const QString trips = s.roundTrips == 0
                              ? QStringLiteral("round trip: no replies (%1)").arg(floor)
                              : QStringLiteral("round trip: median %1 ms, p99 %2 ms (%3)")
                                    .arg(s.medianMs, 0, 'f', 1)
                                    .arg(s.p99Ms, 0, 'f', 1)
                                    .arg(floor);
    return {link, trips};
}

QStringList Logger::summary() const
{
    QStringList lines = linkSummary(m_client.stats()) << m_schedule.summary();
    if (m_keeper && m_keeper->losses() > 0) {
        lines << m_keeper->summary();
    }
    return lines;
}

} // namespace runs
