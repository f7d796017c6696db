#include "records/operations.h"

#include <QTimer>

#include <algorithm>
#include <memory>

namespace records {

RowMaker::RowMaker() : RowMaker(Clock::now(), QDateTime::currentDateTimeUtc()) {}

RowMaker::RowMaker(Clock::time_point start, const QDateTime &wallAtStart)
    : m_start(start), m_wallAtStart(wallAtStart)
{
}

double RowMaker::elapsedNow() const
{
    return elapsedAt(Clock::now());
}

double RowMaker::elapsedAt(Clock::time_point at) const
{
    const std::chrono::duration<double> since = at - m_origin.value_or(m_start);
    return std::max(0.0, since.count());
}

QDateTime RowMaker::wallTimeAt(Clock::time_point at) const
{
    return m_wallAtStart.addMSecs(
        std::chrono::duration_cast<std::chrono::milliseconds>(at - m_start).count());
}

Row RowMaker::make(int address, Clock::time_point sentTime,
                   const std::optional<protocol::StatusReading> &reading,
                   const engine::Failure &failure)
{
    if (sentTime == Clock::time_point{}) {
        sentTime = Clock::now(); // the request never went out
    }
    if (!m_origin) {
        m_origin = std::min(sentTime, Clock::now());
    }
    Row row;
    row.time = wallTimeAt(sentTime);
    row.elapsedSeconds = elapsedAt(sentTime);
    row.address = address;
    row.reading = reading;
    row.failure = failure;
    EnergyCounter &energy = m_energy[address];
    if (reading) {
        energy.add(row.elapsedSeconds, *reading);
    }
    row.ampHours = energy.ampHours();
    row.wattHours = energy.wattHours();
    return row;
}

double RowMaker::ampHours(int address) const
{
    const auto it = m_energy.find(address);
    return it == m_energy.end() ? 0 : it->second.ampHours();
}

double RowMaker::wattHours(int address) const
{
    const auto it = m_energy.find(address);
    return it == m_energy.end() ? 0 : it->second.wattHours();
}

void takeReading(engine::Client &client, RowMaker &rows, std::uint8_t address,
                 std::function<void(const Reading &)> done)
{
    client.readStatus(
        address, [&rows, address, done = std::move(done)](const engine::Reply &reply) {
            Reading reading;
            reading.failure = reply.failure();
            reading.bytes = reply.bytes();
            if (reading.failure.error == engine::Error::Interrupted) {
                reading.row.address = address;
                reading.row.failure = {engine::Error::Interrupted};
                done(reading);
                return;
            }
            std::optional<protocol::StatusReading> decoded = reply.reading();
            if (reading.failure.error == engine::Error::None && !decoded) {
                // A reply of the right shape whose words no supply reports.
                reading.failure.error = engine::Error::Undecoded;
                reading.failure.detail = QStringLiteral("values outside what a supply reports");
                reading.undecoded = true;
            }
            // A request that never went out (the port refused it) counts from now.
            reading.sentTime = reply.sentTime() == RowMaker::Clock::time_point{}
                                   ? RowMaker::Clock::now()
                                   : reply.sentTime();
            reading.row = rows.make(address, reading.sentTime, decoded, reading.failure);
            done(reading);
        });
}

protocol::Frame writeRequest(std::uint8_t address, Target target, std::uint16_t value)
{
    switch (target) {
    case Target::Voltage:
        return protocol::buildSetVoltageRequest(address, value);
    case Target::Current:
        return protocol::buildSetCurrentRequest(address, value);
    case Target::Output:
        break;
    }
    return protocol::buildSwitchOutputRequest(address, value != 0);
}

engine::Confirms confirmsWrite(Target target, std::uint16_t value)
{
    switch (target) {
    case Target::Voltage:
        return [value](const protocol::StatusReading &r) { return r.setVoltage == value; };
    case Target::Current:
        return [value](const protocol::StatusReading &r) { return r.setCurrent == value; };
    case Target::Output:
        break;
    }
    return [on = value != 0](const protocol::StatusReading &r) { return r.outputOn == on; };
}

void ClientWritePath::send(const protocol::Frame &request, std::function<void(const Sent &)> done)
{
    m_client.write(request, [done = std::move(done)](const engine::Reply &reply) {
        Sent sent;
        sent.failure = reply.failure();
        sent.bytes = reply.bytes();
        sent.wentOut = reply.sentAt().isValid();
        done(sent);
    });
}

void ClientWritePath::read(std::uint8_t address, std::function<void(const Reading &)> done)
{
    takeReading(m_client, *m_rows, address, std::move(done));
}

void PathLine::readStatus(std::uint8_t address, Done done)
{
    m_path->read(address, [last = m_last, address, done = std::move(done)](const Reading &reading) {
        *last = reading;
        engine::LineAnswer answer;
        answer.address = address;
        answer.failure = reading.failure;
        answer.reading = reading.row.reading;
        answer.bytes = reading.bytes;
        answer.undecoded = reading.undecoded;
        answer.sentTime = reading.sentTime;
        done(answer);
    });
}

void PathLine::write(const protocol::Frame &request, Done done)
{
    m_path->send(request, [done = std::move(done)](const Sent &sent) {
        engine::LineAnswer answer;
        answer.failure = sent.failure;
        answer.bytes = sent.bytes;
        if (sent.wentOut) {
            answer.sentTime = std::chrono::steady_clock::now();
        }
        done(answer);
    });
}

namespace {

// One confirmed write through the session's: the session lives until the write
// has ended, and a cancel silences it.
class SessionWrite : public WriteHandle {
public:
    SessionWrite(std::shared_ptr<WritePath> path, int attempts)
        : m_line(std::move(path)),
          m_session(
              m_line, engine::steadyClock(), engine::makeQtSessionTimer(),
              engine::SessionSettings{{}, {}, std::max(1, attempts), m_line.readingsPerAttempt()})
    {
    }

    void start(const std::shared_ptr<SessionWrite> &self, std::vector<protocol::Frame> requests,
               engine::Confirms confirms, WriteCallbacks callbacks)
    {
        m_self = self;
        engine::WriteWatch watch;
        watch.readBack = [this, readBack = callbacks.readBack](const engine::LineAnswer &) {
            if (readBack) {
                readBack(m_line.last());
            }
        };
        watch.retrying = std::move(callbacks.retrying);
        watch.done = [this, done = std::move(callbacks.done)](const engine::WriteOutcome &outcome) {
            if (!m_cancelled && done) {
                done(writeResultOf(outcome));
            }
            letGo();
        };
        m_session.write(m_caller, std::move(requests), std::move(confirms), std::move(watch));
    }

    void cancel() override
    {
        m_cancelled = true;
        m_session.cancel(m_caller);
        // Let go even when nothing was under way to end with the cancel.
        letGo();
    }

private:
    void letGo()
    {
        // Not from inside the session's own call: it goes once the call is over.
        if (m_self) {
            QTimer::singleShot(0, [self = std::move(m_self)] {});
        }
    }

    PathLine m_line;
    engine::Session m_session;
    engine::Session::Caller m_caller = m_session.addCaller();
    bool m_cancelled = false;
    std::shared_ptr<SessionWrite> m_self; // until the write has ended
};

} // namespace

WriteResult writeResultOf(const engine::WriteOutcome &outcome)
{
    WriteResult result;
    result.confirmed = outcome.confirmed();
    // A read-back that shows something else is NotConfirmed; the problem says
    // what differed.
    result.failure = outcome.failure;
    result.problem = outcome.problem;
    result.readBack = outcome.readBack;
    result.failedWrite = outcome.failedWrite;
    result.bytes = outcome.bytes;
    result.undecoded = outcome.undecoded;
    result.sent = outcome.sent;
    return result;
}

std::shared_ptr<WriteHandle> confirmedWrite(std::shared_ptr<WritePath> path,
                                            std::vector<protocol::Frame> requests,
                                            engine::Confirms confirms, WriteCallbacks callbacks,
                                            int attempts)
{
    auto job = std::make_shared<SessionWrite>(std::move(path), attempts);
    job->start(job, std::move(requests), std::move(confirms), std::move(callbacks));
    return job;
}

void confirmedWrite(engine::Client &client, RowMaker &rows, const protocol::Frame &request,
                    engine::Confirms confirms, WriteCallbacks callbacks)
{
    (void)confirmedWrite(std::make_shared<ClientWritePath>(client, rows), {request},
                         std::move(confirms), std::move(callbacks));
}

void switchOff(engine::Client &client, RowMaker &rows, std::uint8_t address,
               WriteCallbacks callbacks)
{
    confirmedWrite(client, rows, writeRequest(address, Target::Output, 0),
                   confirmsWrite(Target::Output, 0), std::move(callbacks));
}

} // namespace records
