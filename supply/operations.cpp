#include "supply/operations.h"

#include <algorithm>
#include <memory>

namespace supply {

RowMaker::RowMaker() = default;

double RowMaker::elapsedNow() const
{
    return elapsedAt(Clock::now());
}

double RowMaker::elapsedAt(Clock::time_point at) const
{
    const std::chrono::duration<double> since = at - m_origin.value_or(m_start);
    return std::max(0.0, since.count());
}

Row RowMaker::make(int address, const QDateTime &sentAt, Clock::time_point sentTime,
                   const std::optional<protocol::StatusReading> &reading, const Failure &failure)
{
    if (sentTime == Clock::time_point{}) {
        sentTime = Clock::now(); // the request never went out
    }
    if (!m_origin) {
        m_origin = std::min(sentTime, Clock::now());
    }
    Row row;
    row.time = sentAt.isValid() ? sentAt : QDateTime::currentDateTimeUtc();
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

Row RowMaker::make(int address, const QDateTime &sentAt,
                   const std::optional<protocol::StatusReading> &reading, const Failure &failure)
{
    // How long ago the poll went out, by the wall clock: a window's poll has no
    // monotonic time of its own.
    const qint64 agoMs =
        sentAt.isValid() ? std::max<qint64>(0, sentAt.msecsTo(QDateTime::currentDateTime())) : 0;
    return make(address, sentAt, Clock::now() - std::chrono::milliseconds(agoMs), reading, failure);
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
        reading.error = reply.error();
        reading.exceptionCode = reply.exceptionCode();
        reading.detail = reply.errorText();
        reading.bytes = reply.bytes();
        if (reading.error == Error::Interrupted) {
            reading.row.address = address;
            reading.row.failure = {Error::Interrupted};
            done(reading);
            return;
        }
        std::optional<protocol::StatusReading> decoded = reply.reading();
        if (reading.error == Error::None && !decoded) {
            // A reply of the right shape whose words no supply reports.
            reading.error = Error::Foreign;
            reading.detail = QStringLiteral("values outside what a supply reports");
        }
        // A request that never went out (the port refused it) counts from now.
        reading.sentTime = reply.sentTime() == RowMaker::Clock::time_point{}
                               ? RowMaker::Clock::now()
                               : reply.sentTime();
        reading.row = rows.make(address, reply.sentAt(), reading.sentTime, decoded,
                                {reading.error, reading.exceptionCode, reading.detail});
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

namespace {

// One confirmed write in progress: attempts, each a write and a read-back.
struct WriteJob : std::enable_shared_from_this<WriteJob> {
    Client &client;
    RowMaker &rows;
    protocol::Frame request;
    Confirms confirms;
    WriteCallbacks callbacks;
    int attempt = 0;
    WriteResult result;

    WriteJob(Client &c, RowMaker &r, protocol::Frame q, Confirms f, WriteCallbacks w)
        : client(c), rows(r), request(std::move(q)), confirms(std::move(f)), callbacks(std::move(w))
    {
    }

    void send()
    {
        ++attempt;
        client.write(request,
                     [self = shared_from_this()](const Reply &reply) { self->written(reply); });
    }

    void written(const Reply &reply)
    {
        result.failure = {reply.error(), reply.exceptionCode(), reply.errorText()};
        if (reply.error() == Error::Interrupted || reply.error() == Error::Port ||
            reply.error() == Error::Refused) {
            // A refusal by a ceiling stands: asking again changes nothing.
            result.problem =
                reply.error() == Error::Refused ? reply.errorText() : reply.errorWord();
            finish();
            return;
        }
        if (reply.error() != Error::None) {
            failed(reply.errorWord());
            return;
        }
        takeReading(client, rows, request[0],
                    [self = shared_from_this()](const Reading &r) { self->readBack(r); });
    }

    void readBack(const Reading &reading)
    {
        if (reading.error != Error::Interrupted && callbacks.readBack) {
            callbacks.readBack(reading);
        }
        result.failure = {reading.error, reading.exceptionCode, reading.detail};
        if (reading.error == Error::Interrupted || reading.error == Error::Port) {
            result.problem = result.failure.word();
            finish();
            return;
        }
        if (reading.good()) {
            result.readBack = reading.row.reading;
            if (confirms(*reading.row.reading)) {
                result.confirmed = true;
                result.problem.clear();
                finish();
                return;
            }
            failed(QStringLiteral("the read-back differs"));
            return;
        }
        failed(QStringLiteral("no read-back (%1)").arg(reading.row.failure.word()));
    }

    void failed(const QString &problem)
    {
        result.problem = problem;
        if (attempt >= 2) {
            finish();
            return;
        }
        if (callbacks.retrying) {
            callbacks.retrying(problem);
        }
        send();
    }

    void finish()
    {
        if (callbacks.done) {
            callbacks.done(result);
        }
    }
};

} // namespace

void confirmedWrite(Client &client, RowMaker &rows, const protocol::Frame &request,
                    Confirms confirms, WriteCallbacks callbacks)
{
    std::make_shared<WriteJob>(client, rows, request, std::move(confirms), std::move(callbacks))
        ->send();
}

void switchOff(Client &client, RowMaker &rows, std::uint8_t address, WriteCallbacks callbacks)
{
    confirmedWrite(client, rows, writeRequest(address, Target::Output, 0),
                   confirmsWrite(Target::Output, 0), std::move(callbacks));
}

} // namespace supply
