#include "engine/client.h"

#include "engine/ceilinglink.h"
#include "engine/engine.h"
#include "engine/mbapport.h"
#include "serial/bufferedcommcontrol.h"

#include <QMetaObject>

#include <algorithm>

namespace engine {

namespace {

// Whether a single-register write shows in the status read back after it:
// nullopt for a register the status block does not show.
std::optional<bool> showsIn(const protocol::Frame &write, const protocol::StatusReading &status)
{
    if (write.size() < 6 || write[1] != protocol::kWriteSingleRegister) {
        return std::nullopt;
    }
    const int reg = (write[2] << 8) | write[3];
    const int value = (write[4] << 8) | write[5];
    switch (reg) {
    case protocol::reg::kSetVoltage:
        return status.setVoltage == value;
    case protocol::reg::kSetCurrent:
        return status.setCurrent == value;
    case protocol::reg::kOutputSwitch:
        return status.outputOn == (value != 0);
    case protocol::reg::kSlaveAddress:
        // The supply still answers at its old address: the address did not move.
        return false;
    default:
        return std::nullopt;
    }
}

} // namespace

Reply::Reply(protocol::Frame request, QObject *parent)
    : QObject(parent), m_request(std::move(request))
{
}

void Reply::complete(bool direct)
{
    if (direct) {
        m_finished = true;
        emit finished();
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_finished = true;
            emit finished();
        },
        Qt::QueuedConnection);
}

Client::Client(serial::CommControl &comm, QObject *parent) : Client(comm, steadyClock(), parent) {}

Client::Client(serial::CommControl &comm, const EngineClock &clock, QObject *parent)
    : QObject(parent), m_comm(comm), m_clock(&clock), m_engine(makeEngine(*this, comm))
{
    if (auto *port = qobject_cast<MbapPort *>(&comm)) {
        connect(port, &MbapPort::lineChanged, this, &Client::followLine);
        m_ceilingLink = std::make_unique<CeilingLink>(m_ceilings, *port);
    }
}

Client::~Client() = default;

QString Client::refusalOf(const protocol::Frame &request) const
{
    // The line as the user named it: a device path given, else COMn.
    const auto *buffered = qobject_cast<const serial::BufferedCommControl *>(&m_comm);
    const QString path = buffered ? buffered->devicePathOverride() : QString();
    const QString line = path.isEmpty() ? QStringLiteral("COM%1").arg(m_comm.CommPort()) : path;
    const auto why = m_ceilings.refusal(request, line.toStdString());
    return why ? QString::fromStdString(*why) : QString();
}

void Client::heardCeiling(std::uint8_t address, const std::vector<std::uint8_t> &pdu)
{
    if (m_lineCeilings == 0) {
        m_lineCeilings = m_ceilings.addSource(false);
    }
    if (const auto hold = protocol::mbap::readHold(pdu)) {
        m_ceilings.hold(m_lineCeilings, address, hold->kind, hold->value, hold->holder, hold->pid);
    } else if (const auto kind = protocol::mbap::readRelease(pdu)) {
        m_ceilings.release(m_lineCeilings, address, *kind);
    }
}

Reply *Client::refused(const protocol::Frame &request, const QString &why)
{
    auto *reply = new Reply(request, this);
    reply->m_failure = Failure(Error::Refused, 0, why);
    reply->complete(false);
    return reply;
}

void Client::followLine()
{
    std::vector<Job> held = m_engine->release();
    ++m_handovers;
    // What the old owner said the line holds: a new owner says it again, and as
    // the owner this program holds every ceiling itself.
    if (m_lineCeilings != 0) {
        m_ceilings.dropSource(m_lineCeilings);
        m_lineCeilings = 0;
    }
    auto *port = qobject_cast<MbapPort *>(&m_comm);
    if (port->carriesMbap() != m_engine->carriesMbap()) {
        // What the engine was told, kept for the next one.
        const milliseconds wait = timeout();
        const bool echoed = echo();
        m_statsBefore = stats();
        m_roundTripsBefore.merge(m_engine->roundTrips());
        // A reply a caller still holds never hears of the old engine again.
        m_engine.reset();
        m_engine = makeEngine(*this, m_comm);
        setTimeout(wait);
        setEcho(echoed);
        setStartQuiet(m_startQuiet);
    }
    // The new line is quiet before its first request, so that an answer meant
    // for the old one is never taken: until the old owner's last exchange ends,
    // or the answer to our request on its wire has had its time.
    std::optional<EngineClock::time_point> answerBy;
    for (const Job &job : held) {
        if (job.inFlight && job.onWireSince) {
            answerBy = *job.onWireSince + job.timeout.value_or(timeout());
        }
    }
    if (m_comm.PortOpen()) {
        m_engine->startAfterHandover(answerBy);
    }
    for (Job &job : held) {
        Reply *reply = job.target();
        if (reply != nullptr) {
            // Asked afresh: nothing of the lost attempt stays with the reply.
            reply->m_bytes.clear();
            reply->m_received.clear();
            reply->m_reading.reset();
            reply->m_failure = {};
        }
        if (job.inFlight && job.kind == Job::Kind::Write && reply != nullptr && !job.check) {
            // It may have reached the supply before the line changed hands: the
            // status read back says whether it goes out again.
            const protocol::Frame &write = reply->request();
            auto check = std::make_shared<WriteCheck>();
            auto *readBack = new Reply(protocol::buildReadStatusRequest(write[0]), this);
            connect(readBack, &Reply::finished, readBack, &QObject::deleteLater);
            Job read;
            read.kind = Job::Kind::Read;
            read.reply = readBack;
            read.caller = job.caller;
            read.replySize = protocol::kStatusReplySize;
            read.onEnd = [check, write](const Reply &answer) {
                if (answer.error() == Error::None && answer.reading()) {
                    // A register the status does not show is written again.
                    check->took = showsIn(write, *answer.reading()).value_or(false);
                }
            };
            job.check = check;
            m_engine->adopt(std::move(read));
        }
        m_engine->adopt(std::move(job));
    }
}

void Client::setTimeout(milliseconds timeout)
{
    m_engine->setTimeout(timeout);
}

milliseconds Client::timeout() const
{
    return m_engine->timeout();
}

void Client::setEcho(bool echo)
{
    m_engine->setEcho(echo);
}

bool Client::echo() const
{
    return m_engine->echo();
}

void Client::setStartQuiet(std::optional<milliseconds> quiet)
{
    m_startQuiet = quiet;
    m_engine->setStartQuiet(quiet);
}

void Client::start()
{
    m_engine->start();
}

// A refusal hands out a reply object only: the callback is called from the
// reply's end, once, and the reply goes with it.
void Client::byReply(Reply *reply, Done done)
{
    connect(reply, &Reply::finished, reply, [reply, done = std::move(done)] {
        reply->deleteLater();
        done(*reply);
    });
}

namespace {

Job readJob(std::optional<milliseconds> firstByte = std::nullopt)
{
    Job job;
    job.kind = Job::Kind::Read;
    job.replySize = protocol::kStatusReplySize;
    job.firstByte = firstByte;
    return job;
}

Job writeJob(const protocol::Frame &request, Client::Caller caller)
{
    Job job;
    job.kind = Job::Kind::Write;
    job.caller = caller;
    job.replySize = request.size();
    return job;
}

} // namespace

Reply *Client::readStatus(std::uint8_t address, std::optional<milliseconds> firstByteTimeout)
{
    return m_engine->submit(protocol::buildReadStatusRequest(address), readJob(firstByteTimeout));
}

Reply *Client::write(const protocol::Frame &request, Caller caller, RequestWait wait)
{
    if (const QString why = refusalOf(request); !why.isEmpty()) {
        return refused(request, why);
    }
    Job job = writeJob(request, caller);
    job.timeout = wait.timeout;
    job.firstByte = wait.firstByte;
    return m_engine->submit(request, std::move(job));
}

Reply *Client::readRegisters(std::uint8_t address, std::uint16_t start, std::uint16_t count,
                             Caller caller, RequestWait wait)
{
    Job job;
    job.caller = caller;
    job.timeout = wait.timeout;
    job.firstByte = wait.firstByte;
    job.kind = Job::Kind::Registers;
    // address + function + byte count + two bytes a register + CRC (2)
    job.replySize = 5 + 2 * std::size_t{count};
    return m_engine->submit(
        protocol::buildRequest(address, protocol::kReadHoldingRegisters, start, count),
        std::move(job));
}

void Client::readStatus(std::uint8_t address, Done done)
{
    Job job = readJob();
    job.done = std::move(done);
    m_engine->submit(protocol::buildReadStatusRequest(address), std::move(job));
}

void Client::write(const protocol::Frame &request, Done done)
{
    if (const QString why = refusalOf(request); !why.isEmpty()) {
        byReply(refused(request, why), std::move(done));
        return;
    }
    Job job = writeJob(request, kSelf);
    job.done = std::move(done);
    m_engine->submit(request, std::move(job));
}

Reply *Client::linger(milliseconds ms)
{
    Job job;
    job.kind = Job::Kind::Linger;
    job.linger = ms;
    return m_engine->submit({}, std::move(job));
}

std::vector<LateFrame> Client::takeLateFrames()
{
    return m_engine->takeLateFrames();
}

Client::Caller Client::addCaller()
{
    return ++m_lastCaller;
}

void Client::interruptCaller(Caller caller)
{
    if (!interrupted(caller)) {
        m_stopped.push_back(caller);
    }
    m_engine->interrupt(caller);
}

bool Client::interrupted(Caller caller) const
{
    return std::find(m_stopped.begin(), m_stopped.end(), caller) != m_stopped.end();
}

void Client::resume(Caller caller)
{
    m_stopped.erase(std::remove(m_stopped.begin(), m_stopped.end(), caller), m_stopped.end());
}

bool Client::idle() const
{
    return m_engine->idle();
}

const LinkStats &Client::stats() const
{
    // The counts and round trips of engines before a handover, added.
    m_statsOut = m_engine->stats();
    m_statsOut.addCounts(m_statsBefore);
    if (m_roundTripsBefore.count() > 0) {
        RoundTripSummary all = m_roundTripsBefore;
        all.merge(m_engine->roundTrips());
        m_statsOut.roundTrips = all.count();
        m_statsOut.medianMs = all.quantile(0.5);
        m_statsOut.p99Ms = all.quantile(0.99);
        m_statsOut.maxMs = all.max();
    }
    return m_statsOut;
}

} // namespace engine
