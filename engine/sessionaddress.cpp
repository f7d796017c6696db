// The session's address change: a confirmed write of its own kind, proven by
// reading the new address and then the old one.

#include "engine/sessionaddress.h"

#include "engine/sessionjobs.h"
#include "protocol/frames.h"

#include <QTimer>

#include <algorithm>

namespace engine {

struct Session::AddressJob {
    std::uint8_t from = 0;
    std::uint8_t to = 0;
    AddressOutcome::Step step = AddressOutcome::Step::Check;
    bool echoed = false; // a write of it was echoed: it is not sent again
    int readingsLeft = 0;
    // The last write's failure while none was echoed, with its bytes.
    Failure writeFailure;
    QByteArray writeBytes;
    Failure heard;
    QByteArray bytes;
};

namespace {

// The last address a single supply may hold; above it Modbus keeps its own.
constexpr int kLastSupplyAddress = 247;

bool changeEndsAtOnce(const Failure &failure)
{
    return failure.error == Error::Interrupted || failure.error == Error::Port ||
           failure.error == Error::Refused;
}

bool isAddressEcho(const LineAnswer &answer, std::uint8_t from)
{
    if (!answer.failure) {
        return true;
    }
    // Some supplies echo the change with bytes of their own; the echo of the
    // address register from the old address is proof enough that it was taken.
    const auto *data = reinterpret_cast<const std::uint8_t *>(answer.bytes.constData());
    return answer.failure.error == Error::Foreign &&
           protocol::checkAddressEcho(data, std::size_t(answer.bytes.size()), from);
}

} // namespace

void Session::changeAddress(Caller caller, std::uint8_t from, std::uint8_t to,
                            std::function<void(const AddressOutcome &)> done)
{
    auto job = std::make_shared<WriteJob>();
    auto change = std::make_shared<AddressJob>();
    change->from = from;
    change->to = to;
    job->caller = caller;
    job->change = change;
    job->requests = {protocol::buildSetAddressRequest(from, to)};
    job->watch.done = [change, done = std::move(done)](const WriteOutcome &write) {
        AddressOutcome outcome;
        outcome.step = change->step;
        outcome.write = write;
        outcome.heard = change->heard;
        outcome.bytes = change->bytes;
        if (write.failure.error == Error::Interrupted) {
            outcome.heard = write.failure; // stopped between two requests
            outcome.bytes.clear();
        }
        if (done) {
            done(outcome);
        }
    };
    if (from == to || to == 0 || to > kLastSupplyAddress) {
        job->ended = true;
        job->result.failure = {Error::Foreign, 0, QStringLiteral("not an address change")};
        job->result.problem = job->result.failure.detail;
        change->heard = job->result.failure;
        QTimer::singleShot(0, this, [job] { job->watch.done(job->result); });
        return;
    }
    m_writes.push_back(std::move(job));
    startWrite();
}

void Session::addressNext(const std::shared_ptr<WriteJob> &job, const LineAnswer *heard)
{
    using At = AddressOutcome::Step;
    AddressJob &change = *job->change;
    WriteOutcome &result = job->result;
    const int readings = std::max(1, m_settings.readingsPerAttempt);

    const auto request = [this, job](std::uint8_t address, bool write) {
        auto step = std::make_unique<Step>();
        step->rank = job->rank;
        step->address = address;
        if (write) {
            step->write = job->requests.front();
        }
        step->owner = job.get();
        step->waiters.push_back({job->caller, [this, job](const LineAnswer &answer) {
                                     if (!job->ended) {
                                         addressNext(job, &answer);
                                     }
                                 }});
        enqueue(std::move(step));
    };
    const auto end = [&](const Failure &failure, const QString &problem) {
        result.failure = failure;
        result.problem = problem;
        finish(job);
    };
    const auto write = [&] {
        ++job->attempt;
        change.step = At::Write;
        request(change.from, true);
    };
    const auto readNew = [&] {
        change.step = At::NewAddress;
        change.readingsLeft = readings;
        request(change.to, false);
    };
    // An attempt that did not find the supply at the new address.
    const auto attemptFailed = [&] {
        if (job->attempt < std::max(1, m_settings.writeAttempts)) {
            if (change.echoed) {
                ++job->attempt;
                readNew();
            } else {
                write();
            }
            return;
        }
        if (change.echoed) {
            end({Error::NotConfirmed, 0, QStringLiteral("no answer at the new address")},
                QStringLiteral("no read-back (%1)").arg(change.heard.word()));
            return;
        }
        // Never echoed: the write's own failure is why.
        change.step = At::Write;
        change.heard = change.writeFailure;
        change.bytes = change.writeBytes;
        result.bytes = change.writeBytes;
        result.failedWrite = 0;
        end(change.writeFailure, change.writeFailure.word());
    };

    if (heard == nullptr) {
        // Two supplies must never share an address: the new one is read first.
        change.step = At::Check;
        request(change.to, false);
        return;
    }
    change.heard = heard->failure;
    change.bytes = heard->bytes;
    result.bytes = heard->bytes;
    const Error error = heard->failure.error;
    switch (change.step) {
    case At::Check:
        if (error == Error::Timeout) {
            write();
        } else if (changeEndsAtOnce(heard->failure)) {
            end(heard->failure, heard->failure.word());
        } else {
            const QString why =
                QStringLiteral("address %1 is taken: a supply answers there").arg(change.to);
            end({Error::Refused, 0, why}, why);
        }
        return;
    case At::Write:
        result.sent = result.sent || heard->wentOut();
        if (changeEndsAtOnce(heard->failure)) {
            result.failedWrite = 0;
            end(heard->failure,
                error == Error::Refused ? heard->failure.detail : heard->failure.word());
            return;
        }
        if (isAddressEcho(*heard, change.from)) {
            change.echoed = true;
            readNew();
            return;
        }
        change.writeFailure = heard->failure;
        change.writeBytes = heard->bytes;
        if (error == Error::Exception || error == Error::Foreign) {
            // The supply answered at its old address: it did not move.
            attemptFailed();
        } else {
            readNew();
        }
        return;
    case At::NewAddress:
        if (changeEndsAtOnce(heard->failure)) {
            end(heard->failure, heard->failure.word());
            return;
        }
        // Any whole reply proves that the supply answers there: the new address
        // was free before the write.
        if (heard->good() || heard->undecoded) {
            result.readBack = heard->reading;
            change.step = At::OldAddress;
            request(change.from, false);
            return;
        }
        if (--change.readingsLeft > 0) {
            request(change.to, false);
            return;
        }
        attemptFailed();
        return;
    case At::OldAddress:
        if (error == Error::Timeout) {
            end({}, {});
        } else if (changeEndsAtOnce(heard->failure)) {
            end(heard->failure, heard->failure.word());
        } else {
            const QString why = QStringLiteral("the old address %1 still answers").arg(change.from);
            end({Error::NotConfirmed, 0, why}, why);
        }
        return;
    }
}

} // namespace engine
