#include "records/operations.h"

#include <algorithm>
#include <memory>

namespace supply {

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
                   const std::optional<protocol::StatusReading> &reading, const Failure &failure)
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

void takeReading(Client &client, RowMaker &rows, std::uint8_t address,
                 std::function<void(const Reading &)> done)
{
    client.readStatus(address, [&rows, address, done = std::move(done)](const Reply &reply) {
        Reading reading;
        reading.failure = reply.failure();
        reading.bytes = reply.bytes();
        if (reading.failure.error == Error::Interrupted) {
            reading.row.address = address;
            reading.row.failure = {Error::Interrupted};
            done(reading);
            return;
        }
        std::optional<protocol::StatusReading> decoded = reply.reading();
        if (reading.failure.error == Error::None && !decoded) {
            // A reply of the right shape whose words no supply reports.
            reading.failure.error = Error::Undecoded;
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

Confirms confirmsWrite(Target target, std::uint16_t value)
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
    m_client.write(request, [done = std::move(done)](const Reply &reply) {
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

namespace {

// One confirmed write in progress: attempts, each its writes and then readings
// until one shows the value.
class WriteJob : public WriteHandle, public std::enable_shared_from_this<WriteJob> {
public:
    WriteJob(std::shared_ptr<WritePath> path, std::vector<protocol::Frame> requests, Confirms f,
             WriteCallbacks w, int attempts)
        : m_path(std::move(path)), m_requests(std::move(requests)), m_confirms(std::move(f)),
          m_callbacks(std::move(w)), m_attempts(std::max(1, attempts))
    {
    }

    void cancel() override { m_cancelled = true; }

    void attempt()
    {
        ++m_attempt;
        m_next = 0;
        sendNext();
    }

private:
    void sendNext()
    {
        if (m_next >= m_requests.size()) {
            m_readingsLeft = std::max(1, m_path->readingsPerAttempt());
            readNext();
            return;
        }
        m_path->send(m_requests[m_next],
                     [self = shared_from_this()](const Sent &sent) { self->written(sent); });
    }

    void written(const Sent &sent)
    {
        if (m_cancelled) {
            return;
        }
        m_result.sent = m_result.sent || sent.wentOut;
        if (sent.failure) {
            m_result.failure = sent.failure;
            m_result.bytes = sent.bytes;
            m_result.undecoded = false;
            m_result.failedWrite = m_next;
            if (endsAtOnce(sent.failure)) {
                m_result.problem = sent.failure.error == Error::Refused ? sent.failure.detail
                                                                        : sent.failure.word();
                finish();
                return;
            }
            failed(sent.failure.word());
            return;
        }
        ++m_next;
        sendNext();
    }

    void readNext()
    {
        m_path->read(address(),
                     [self = shared_from_this()](const Reading &r) { self->readBack(r); });
    }

    void readBack(const Reading &reading)
    {
        if (m_cancelled) {
            return;
        }
        if (reading.failure.error != Error::Interrupted && m_callbacks.readBack) {
            m_callbacks.readBack(reading);
        }
        m_result.failure = reading.failure;
        m_result.bytes = reading.bytes;
        m_result.undecoded = reading.undecoded;
        m_result.failedWrite.reset();
        if (endsAtOnce(m_result.failure)) {
            m_result.problem = m_result.failure.word();
            finish();
            return;
        }
        QString problem;
        if (reading.good()) {
            m_result.readBack = reading.row.reading;
            if (m_confirms(*reading.row.reading)) {
                m_result.confirmed = true;
                m_result.problem.clear();
                finish();
                return;
            }
            problem = QStringLiteral("the read-back differs");
            m_result.failure = Failure(Error::NotConfirmed, 0, problem);
        } else {
            problem = QStringLiteral("no read-back (%1)").arg(m_result.failure.word());
        }
        m_result.problem = problem;
        if (--m_readingsLeft > 0) {
            readNext();
            return;
        }
        failed(problem);
    }

    // A stop, a port away and a refusal by a ceiling held on the line end the
    // write at once: asking again changes nothing.
    static bool endsAtOnce(const Failure &failure)
    {
        return failure.error == Error::Interrupted || failure.error == Error::Port ||
               failure.error == Error::Refused;
    }

    void failed(const QString &problem)
    {
        m_result.problem = problem;
        if (m_attempt >= m_attempts) {
            finish();
            return;
        }
        if (m_callbacks.retrying) {
            m_callbacks.retrying(problem);
        }
        if (!m_cancelled) {
            attempt();
        }
    }

    void finish()
    {
        if (m_callbacks.done && !m_cancelled) {
            m_cancelled = true; // once
            m_callbacks.done(m_result);
        }
    }

    std::uint8_t address() const { return m_requests.front()[0]; }

    std::shared_ptr<WritePath> m_path;
    std::vector<protocol::Frame> m_requests;
    Confirms m_confirms;
    WriteCallbacks m_callbacks;
    int m_attempts;
    int m_attempt = 0;
    std::size_t m_next = 0; // the request of this attempt to send next
    int m_readingsLeft = 0;
    bool m_cancelled = false;
    WriteResult m_result;
};

} // namespace

std::shared_ptr<WriteHandle> confirmedWrite(std::shared_ptr<WritePath> path,
                                            std::vector<protocol::Frame> requests,
                                            Confirms confirms, WriteCallbacks callbacks,
                                            int attempts)
{
    auto job = std::make_shared<WriteJob>(std::move(path), std::move(requests), std::move(confirms),
                                          std::move(callbacks), attempts);
    job->attempt();
    return job;
}

void confirmedWrite(Client &client, RowMaker &rows, const protocol::Frame &request,
                    Confirms confirms, WriteCallbacks callbacks)
{
    (void)confirmedWrite(std::make_shared<ClientWritePath>(client, rows), {request},
                         std::move(confirms), std::move(callbacks));
}

void switchOff(Client &client, RowMaker &rows, std::uint8_t address, WriteCallbacks callbacks)
{
    confirmedWrite(client, rows, writeRequest(address, Target::Output, 0),
                   confirmsWrite(Target::Output, 0), std::move(callbacks));
}

} // namespace supply
