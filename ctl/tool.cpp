#include "ctl/tool.h"

#include "ctl/commands.h"
#include "ctl/output.h"
#include "ctl/platform.h"
#include "engine/failuretable.h"
#include "line/networkport.h"
#include "line/sharedport.h"
#include "protocol/frames.h"
#include "protocol/mbap.h"
#include "protocol/reply.h"
#include "records/format.h"
#include "records/operations.h"

#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

namespace ctl {

namespace {

using supply::Error;
using supply::Reply;

// An address that does not answer costs this wait in a scan unless --timeout
// says otherwise: the 8-byte request takes 8.3 ms on the line, and the wait
// finds a supply that starts its reply up to 150 ms after it with room to spare.
// Once a reply has begun, the full reply timeout applies.
constexpr milliseconds kScanWait{200};
// After the last address a scan still listens this long for late replies.
constexpr milliseconds kScanLinger{300};

// Calls `then` with the reply once it has finished, and lets it go.
void whenFinished(Reply *reply, std::function<void(const Reply &)> then)
{
    QObject::connect(reply, &Reply::finished, reply, [reply, then = std::move(then)] {
        reply->deleteLater();
        then(*reply);
    });
}

QString plural(long n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

QString exceptionName(int code)
{
    return QString::fromLatin1(protocol::exceptionName(code));
}

// How long a request that timed out waited: the reply timeout, and over a
// network line the room the gateway has for its own wait as well. A program of
// ours that owns a shared serial line answers a joiner for that line's timeout.
milliseconds waitUsed(const serial::CommControl &comm, milliseconds timeout)
{
    const auto *network = qobject_cast<const supply::TcpPort *>(&comm);
    return network ? timeout + network->extraWait() : timeout;
}

// Says why a request to `address` that fared as `failed`, with `came` back, is no answer to
// `what`, and its exit code; `timeout` is the request's wait for its reply on a serial line.
int failure(const Context &context, const supply::Failure &failed, const QByteArray &came,
            std::uint8_t address, const QString &what, milliseconds timeout)
{
    const QString bytes = hexBytes(came);
    const milliseconds waited = waitUsed(context.comm, timeout);
    switch (failed.error) {
    case Error::None:
    case Error::Interrupted:
        break;
    case Error::Refused:
        // A ceiling that a program on the line holds; nothing was sent.
        printErr(QStringLiteral("refused: ") + failed.detail);
        break;
    case Error::NotConfirmed:
        printErr(QStringLiteral("%1: address %2: %3").arg(what).arg(address).arg(failed.text()));
        break;
    case Error::Undecoded:
        printErr(QStringLiteral("%1: address %2 sent values outside what a supply reports: %3")
                     .arg(what)
                     .arg(address)
                     .arg(bytes));
        break;
    case Error::Exception:
        printErr(QStringLiteral("%1: address %2 answered with exception %3 (%4)")
                     .arg(what)
                     .arg(address)
                     .arg(failed.exceptionCode)
                     .arg(exceptionName(failed.exceptionCode)));
        break;
    case Error::Timeout: {
        // A gateway that answered for its target says why there is no reply.
        const auto *gateway = qobject_cast<const supply::TcpPort *>(&context.comm);
        if (gateway && failed.gatewayCode == protocol::mbap::kGatewayTargetFailed) {
            printErr(QStringLiteral("%1: the gateway %2: no answer from address %3")
                         .arg(what, gateway->name())
                         .arg(address));
        } else if (gateway && failed.gatewayCode == protocol::mbap::kGatewayPathUnavailable) {
            printErr(QStringLiteral("%1: the gateway %2 reaches no unit %3")
                         .arg(what, gateway->name())
                         .arg(address));
        } else if (const auto *shared = qobject_cast<const supply::SharedPort *>(&context.comm);
                   shared && shared->role() == supply::SharedPort::Role::Joiner &&
                   failed.gatewayCode == 0) {
            // The owner answers for a silent supply itself: nothing at all is the
            // owner's own silence (stopped, or stuck), not the supply's.
            printErr(QStringLiteral("%1: %2").arg(what, shared->ownerSilentText()));
        } else {
            // The far end of a shared line answers for its own timeout, as our
            // own wait on a serial line would have ended.
            const bool answered = failed.gatewayCode != 0;
            printErr(QStringLiteral("%1: no reply from address %2 within %3 ms")
                         .arg(what)
                         .arg(address)
                         .arg((answered ? timeout : waited).count()));
        }
        break;
    }
    case Error::Crc:
        printErr(QStringLiteral("%1: the reply from address %2 has a bad CRC: %3")
                     .arg(what)
                     .arg(address)
                     .arg(bytes));
        break;
    case Error::Foreign:
        if (came.isEmpty()) {
            // Only frames of other addresses came: they never end the wait for ours.
            printErr(QStringLiteral("%1: no reply from address %2 within %3 ms (frames of other "
                                    "addresses came instead)")
                         .arg(what)
                         .arg(address)
                         .arg(waited.count()));
        } else if (!failed.detail.isEmpty()) {
            printErr(QStringLiteral("%1: %2: got %3").arg(what, failed.detail, bytes));
        } else {
            printErr(QStringLiteral("%1: bytes that are no reply from address %2: %3")
                         .arg(what)
                         .arg(address)
                         .arg(bytes));
        }
        break;
    case Error::Short:
        printErr(QStringLiteral("%1: the reply from address %2 stopped short: %3")
                     .arg(what)
                     .arg(address)
                     .arg(bytes));
        break;
    case Error::Port:
        printErr(QStringLiteral("%1: the port failed: %2").arg(what, failed.detail));
        break;
    }
    return supply::facesOf(failed.error).exitCode;
}

int failure(const Context &context, const Reply &reply, std::uint8_t address, const QString &what,
            milliseconds timeout)
{
    return failure(context, reply.failure(), reply.bytes(), address, what, timeout);
}

// Says why a confirmed write of `address` was not confirmed when no read-back
// showed otherwise (a write or the read-back failed); its exit code. `names` name
// the requests as messages do.
int writeFailure(const Context &context, const supply::WriteResult &result, std::uint8_t address,
                 const QStringList &names)
{
    if (result.failedWrite) {
        return failure(context, result.failure, result.bytes, address,
                       names.value(int(*result.failedWrite)), context.options.timeout);
    }
    return failure(context, result.failure, result.bytes, address, QStringLiteral("read"),
                   context.options.timeout);
}

// A good status reading from `reply`, or nullopt after saying why (`code` set).
std::optional<protocol::StatusReading> readingOf(const Context &context, const Reply &reply,
                                                 const QString &what, int *code)
{
    if (reply.error() != Error::None) {
        *code = failure(context, reply, reply.address(), what, context.options.timeout);
        return std::nullopt;
    }
    if (!reply.reading()) {
        *code = failure(context, supply::Failure(Error::Undecoded), reply.bytes(), reply.address(),
                        what, context.options.timeout);
    }
    return reply.reading();
}

QString onOff(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

// What was wrong with a reply that came from the address asked.
QString scanProblem(const Reply &reply)
{
    switch (reply.error()) {
    case Error::Exception:
        return QStringLiteral("with exception %1 (%2)")
            .arg(reply.exceptionCode())
            .arg(exceptionName(reply.exceptionCode()));
    case Error::Crc:
        return QStringLiteral("with a bad CRC: ") + hexBytes(reply.bytes());
    case Error::Short:
        return QStringLiteral("with a reply that stopped short: ") + hexBytes(reply.bytes());
    case Error::None:
        return QStringLiteral("with values outside what a supply reports: ") +
               hexBytes(reply.bytes());
    default:
        return reply.errorWord();
    }
}

// A scan walks the addresses one request at a time.
struct Scan : std::enable_shared_from_this<Scan> {
    Context &context;
    Done done;
    int address;
    int last;
    bool first;
    milliseconds wait;
    bool progress;
    long found = 0;

    Scan(Context &c, Done d, int from, int to, bool stopAtFirst)
        : context(c), done(std::move(d)), address(from), last(to), first(stopAtFirst),
          wait(c.options.timeoutGiven ? c.options.timeout : kScanWait),
          progress(stderrIsTerminal() && !c.options.json)
    {
    }

    void clearProgress() const
    {
        if (progress) {
            std::fputs("\r\033[K", stderr);
        }
    }

    void reportLate()
    {
        for (const supply::LateFrame &frame : context.client.takeLateFrames()) {
            clearProgress();
            printErr(QStringLiteral("scan: address %1 answered %2 ms after its request, after "
                                    "the scan had moved on (it waits %3 ms); rerun with a "
                                    "longer --timeout, such as --timeout %4")
                         .arg(frame.address)
                         .arg(frame.afterMs, 0, 'f', 0)
                         .arg(wait.count())
                         .arg(std::max<long long>(
                             500, static_cast<long long>(frame.afterMs * 1.5 + 50) / 100 * 100)));
        }
    }

    void next()
    {
        if (address > last || (first && found > 0)) {
            finish();
            return;
        }
        if (progress) {
            std::fprintf(stderr, "\rscanning %d of %d..%d", address, firstAddress, last);
            std::fflush(stderr);
        }
        const auto a = static_cast<std::uint8_t>(address);
        // A wait as long as the reply timeout needs no bound of its own.
        const std::optional<milliseconds> firstByte =
            wait < context.client.timeout() ? std::optional<milliseconds>(wait) : std::nullopt;
        whenFinished(context.client.readStatus(a, firstByte),
                     [self = shared_from_this()](const Reply &reply) { self->answered(reply); });
    }

    void answered(const Reply &reply)
    {
        reportLate();
        const int a = reply.address();
        if (reply.error() == Error::Interrupted) {
            clearProgress();
            done(kExitSigint);
            return;
        }
        if (reply.error() == Error::Port) {
            clearProgress();
            done(failure(context, reply, reply.address(), QStringLiteral("scan"), wait));
            return;
        }
        ++address;
        if (reply.error() == Error::Timeout) {
            next();
            return;
        }
        clearProgress();
        if (reply.error() == Error::Foreign) {
            failure(context, reply, reply.address(), QStringLiteral("scan"),
                    wait); // nobody's reply
            next();
            return;
        }
        ++found;
        const bool json = context.options.json;
        if (reply.reading()) {
            context.console.out(
                json ? QString::fromUtf8(
                           supply::statusJson(a, *reply.reading()).null("error").toJson())
                     : QStringLiteral("%1  %2").arg(a, 3).arg(statusText(*reply.reading())));
        } else {
            // Something answers there, but not with a status we can take.
            const QString what = scanProblem(reply);
            supply::JsonObject row;
            row.number("address", a);
            for (const char *key : {"set_v", "set_a", "v", "a", "w", "output", "mode"}) {
                row.null(key);
            }
            row.text("error", what);
            context.console.out(json ? QString::fromUtf8(row.toJson())
                                     : QStringLiteral("%1  answers, but %2").arg(a, 3).arg(what));
        }
        next();
    }

    void finish()
    {
        if (first && found > 0) {
            end();
            return;
        }
        whenFinished(context.client.linger(kScanLinger),
                     [self = shared_from_this()](const Reply &reply) {
                         self->reportLate();
                         if (reply.error() == Error::Interrupted) {
                             self->clearProgress();
                             self->done(kExitSigint);
                             return;
                         }
                         self->end();
                     });
    }

    void end()
    {
        clearProgress();
        printErr(QStringLiteral("%1 answered in %2..%3")
                     .arg(plural(found, "address", "addresses"))
                     .arg(firstAddress)
                     .arg(last));
        done(found > 0 ? kExitOk : kExitFailed);
    }

    int firstAddress = address;
};

// Writes `requests` in turn, each confirmed by its echo; then `then`.
} // namespace

QString portState(int error)
{
    switch (error) {
    case 0:
        return QStringLiteral("free");
    case serial::kErrPortInUse:
        return QStringLiteral("in use");
    case serial::kErrNoAccess:
        return QStringLiteral("no access");
    default:
        return QStringLiteral("absent");
    }
}

namespace {

// Who holds the port a shared open found held, where the system tells.
supply::DeviceHolder holderOf(const serial::BufferedCommControl &comm, int error)
{
    const auto *shared = qobject_cast<const supply::SharedPort *>(&comm);
    return shared && error == serial::kErrPortInUse ? shared->holder() : supply::DeviceHolder{};
}

} // namespace

int openPort(serial::BufferedCommControl &comm, const CommonOptions &options)
{
    try {
        comm.setSettings(QStringLiteral("9600,n,8,1"));
        comm.setDevicePath(options.port.devicePath);
        comm.setCommPort(options.port.comPort);
        comm.setPortOpen(true);
    } catch (const serial::CommError &error) {
        const QString why = QString::fromStdString(error.what());
        printErr(options.port.network
                     ? QStringLiteral("%1 cannot be reached: %2").arg(options.port.name(), why)
                     : openFailureText(options.port.name(), error.number(), why,
                                       holderOf(comm, error.number())));
        return kExitNoPort;
    }
    return kExitOk;
}

Prepared preparePorts(const CommandLine &, const CommonOptions &)
{
    return Prepared::run(
        [](Context &context, Done done) {
            std::vector<PortEntry> entries = listPorts(context.comm);
            // A port a program of ours owns is open to every other one of ours.
            if (const auto *shared = qobject_cast<const supply::SharedPort *>(&context.comm)) {
                for (PortEntry &p : entries) {
                    const int n = p.name.mid(3).toInt();
                    if (p.state != portState(-1) && n > 0 && shared->offeredByOurs(n)) {
                        p.state = QStringLiteral("shared");
                    }
                }
            }
            for (const PortEntry &p : entries) {
                if (context.options.json) {
                    supply::JsonObject json;
                    json.text("port", p.name)
                        .text("device", p.device)
                        .text("state", p.state)
                        .textOrNull("description", p.description);
                    context.console.out(QString::fromUtf8(json.toJson()));
                } else {
                    QString line = QStringLiteral("%1  %2  %3")
                                       .arg(p.name, -6)
                                       .arg(p.device, -24)
                                       .arg(p.state);
                    if (!p.description.isEmpty()) {
                        line += QStringLiteral("  ") + p.description;
                    }
                    context.console.out(line.trimmed());
                }
            }
            if (entries.empty()) {
                printErr(QStringLiteral("no COM port resolves to a device"));
            }
            done(kExitOk);
        },
        false);
}

Prepared prepareScan(const CommandLine &line, const CommonOptions &)
{
    const auto from = parseAddress(line.value(QStringLiteral("from")));
    const auto to = parseAddress(line.value(QStringLiteral("to")));
    if (!from || !to || *to < *from) {
        return Prepared::refused(!from ? QStringLiteral("--from: ") + from.error()
                                 : !to ? QStringLiteral("--to: ") + to.error()
                                       : QStringLiteral("--to is below --from"));
    }
    const bool first = line.isSet(QStringLiteral("first"));
    return Prepared::run([a = int(*from), b = int(*to), first](Context &context, Done done) {
        std::make_shared<Scan>(context, std::move(done), a, b, first)->next();
    });
}

Prepared prepareRead(const CommandLine &, const CommonOptions &)
{
    return Prepared::run([](Context &context, Done done) {
        const std::uint8_t address = context.options.address;
        whenFinished(context.client.readStatus(address), [&context, done](const Reply &reply) {
            int code = kExitOk;
            const auto reading = readingOf(context, reply, QStringLiteral("read"), &code);
            if (reading) {
                context.console.out(
                    context.options.json
                        ? QString::fromUtf8(supply::statusJson(reply.address(), *reading).toJson())
                        : statusText(*reading));
            }
            done(code);
        });
    });
}

Prepared prepareSet(const CommandLine &line, const CommonOptions &)
{
    const bool voltageGiven = line.isSet(QStringLiteral("voltage"));
    const bool currentGiven = line.isSet(QStringLiteral("current"));
    if (!voltageGiven && !currentGiven) {
        return Prepared::refused(QStringLiteral("set needs --voltage, --current or both"));
    }
    std::optional<std::uint16_t> voltageCode;
    std::optional<std::uint16_t> currentCode;
    if (voltageGiven) {
        const auto code = parseSetCode(line.value(QStringLiteral("voltage")), 2,
                                       kLargestVoltageCode, QStringLiteral("V"));
        if (!code) {
            return Prepared::refused(QStringLiteral("--voltage: ") + code.error());
        }
        voltageCode = *code;
    }
    if (currentGiven) {
        const auto code = parseSetCode(line.value(QStringLiteral("current")), 3,
                                       kLargestCurrentCode, QStringLiteral("A"));
        if (!code) {
            return Prepared::refused(QStringLiteral("--current: ") + code.error());
        }
        currentCode = *code;
    }
    return Prepared::run([voltageCode, currentCode](Context &context, Done done) {
        const std::uint8_t address = context.options.address;
        // Both values go out, then one read-back confirms both.
        std::vector<protocol::Frame> writes;
        QStringList names;
        if (voltageCode) {
            writes.push_back(supply::writeRequest(address, supply::Target::Voltage, *voltageCode));
            names << QStringLiteral("set voltage");
        }
        if (currentCode) {
            writes.push_back(supply::writeRequest(address, supply::Target::Current, *currentCode));
            names << QStringLiteral("set current");
        }
        const supply::Confirms confirms = [voltageCode,
                                           currentCode](const protocol::StatusReading &r) {
            return (!voltageCode || r.setVoltage == *voltageCode) &&
                   (!currentCode || r.setCurrent == *currentCode);
        };
        supply::WriteCallbacks callbacks;
        callbacks.done = [&context, done, address, names, voltageCode,
                          currentCode](const supply::WriteResult &result) {
            if (!result.readBack || (result.failure && !result.readBackDiffers())) {
                done(writeFailure(context, result, address, names));
                return;
            }
            const protocol::StatusReading &reading = *result.readBack;
            using supply::fixedPoint;
            QStringList differences;
            if (voltageCode && reading.setVoltage != *voltageCode) {
                differences << QStringLiteral("the voltage set value reads %1 V, sent %2 V")
                                   .arg(fixedPoint(reading.setVoltage, 2),
                                        fixedPoint(*voltageCode, 2));
            }
            if (currentCode && reading.setCurrent != *currentCode) {
                differences << QStringLiteral("the current set value reads %1 A, sent %2 A")
                                   .arg(fixedPoint(reading.setCurrent, 3),
                                        fixedPoint(*currentCode, 3));
            }
            if (context.options.json) {
                supply::JsonObject json;
                json.number("address", address);
                if (voltageCode) {
                    json.number("sent_v", supply::voltsText(*voltageCode));
                } else {
                    json.null("sent_v");
                }
                if (currentCode) {
                    json.number("sent_a", supply::ampsText(*currentCode));
                } else {
                    json.null("sent_a");
                }
                json.boolean("confirmed", differences.isEmpty())
                    .raw("reading", supply::statusJson(address, reading).toJson());
                context.console.out(QString::fromUtf8(json.toJson()));
            } else {
                QStringList sent;
                if (voltageCode) {
                    sent << fixedPoint(*voltageCode, 2) + QStringLiteral(" V");
                }
                if (currentCode) {
                    sent << fixedPoint(*currentCode, 3) + QStringLiteral(" A");
                }
                context.console.out(QStringLiteral("sent ") + sent.join(QLatin1Char(' ')));
                context.console.out(statusText(reading));
            }
            if (!differences.isEmpty()) {
                printErr(QStringLiteral("read-back differs: ") +
                         differences.join(QStringLiteral("; ")));
                done(kExitFailed);
                return;
            }
            done(kExitOk);
        };
        // One attempt: a script that wants another asks again.
        (void)supply::confirmedWrite(std::make_shared<supply::ClientWritePath>(context.client),
                                     std::move(writes), confirms, std::move(callbacks), 1);
    });
}

Prepared prepareOutput(const CommandLine &line, const CommonOptions &)
{
    const auto switched = parseSwitch(line.arguments().value(0));
    if (!switched) {
        return Prepared::refused(switched.error());
    }
    return Prepared::run([on = *switched](Context &context, Done done) {
        const std::uint8_t address = context.options.address;
        // A stop once the switch has gone out leaves the output unknown: say so.
        const auto stopped = [on, done](bool sent) {
            printErr(!sent ? QStringLiteral("stopped before the switch was sent: the output is "
                                            "as it was")
                     : on  ? QStringLiteral("stopped after the switch on was sent, before its "
                                             "read-back: the output may be on")
                           : QStringLiteral("stopped after the switch off was sent, before its "
                                             "read-back: the output may still be on"));
            done(kExitSigint);
        };
        supply::WriteCallbacks callbacks;
        callbacks.done = [&context, done, on, address, stopped](const supply::WriteResult &result) {
            if (result.failure.error == Error::Interrupted) {
                stopped(result.sent);
                return;
            }
            if (!result.readBack || (result.failure && !result.readBackDiffers())) {
                done(writeFailure(context, result, address, {QStringLiteral("output")}));
                return;
            }
            const protocol::StatusReading &reading = *result.readBack;
            if (context.options.json) {
                supply::JsonObject json;
                json.number("address", address)
                    .boolean("output", on)
                    .boolean("confirmed", result.confirmed)
                    .raw("reading", supply::statusJson(address, reading).toJson());
                context.console.out(QString::fromUtf8(json.toJson()));
            } else {
                context.console.out(statusText(reading));
            }
            if (!result.confirmed) {
                printErr(QStringLiteral("read-back differs: the output reads %1, sent %2")
                             .arg(onOff(reading.outputOn), onOff(on)));
                done(kExitFailed);
                return;
            }
            done(kExitOk);
        };
        // One attempt: a script that wants another asks again.
        (void)supply::confirmedWrite(
            std::make_shared<supply::ClientWritePath>(context.client),
            {supply::writeRequest(address, supply::Target::Output, on ? 1 : 0)},
            supply::confirmsWrite(supply::Target::Output, on ? 1 : 0), std::move(callbacks), 1);
    });
}

Prepared prepareAddress(const CommandLine &line, const CommonOptions &common)
{
    const QString given = line.arguments().value(0);
    const auto next = parseAddress(given);
    if (!next) {
        const bool broadcast = given.trimmed() == QLatin1String("0");
        return Prepared::refused(QStringLiteral("address NEW: ") + next.error() +
                                 (broadcast ? QStringLiteral(" (0 is the broadcast address, "
                                                             "which no supply answers)")
                                            : QString()));
    }
    if (*next == common.address) {
        return Prepared::refused(QStringLiteral("the supply is at address %1 already").arg(*next));
    }
    return Prepared::run([newAddress = *next](Context &context, Done done) {
        const std::uint8_t old = context.options.address;
        const milliseconds timeout = context.options.timeout;
        supply::Client &client = context.client;
        // Two supplies must never share an address: one that answers at NEW already
        // keeps it, and nothing is written.
        whenFinished(client.readStatus(newAddress), [&context, &client, done, old, newAddress,
                                                     timeout](const Reply &taken) {
            if (taken.error() == Error::Interrupted || taken.error() == Error::Port) {
                done(failure(context, taken, newAddress, QStringLiteral("address"), timeout));
                return;
            }
            if (taken.error() != Error::Timeout) {
                printErr(QStringLiteral("address: address %1 is taken: a supply answers there; "
                                        "nothing was sent to address %2")
                             .arg(newAddress)
                             .arg(old));
                done(kExitUsage);
                return;
            }
            const protocol::Frame request = protocol::buildSetAddressRequest(old, newAddress);
            whenFinished(client.write(request), [&context, &client, done, old, newAddress,
                                                 timeout](const Reply &echo) {
                const auto *data = reinterpret_cast<const std::uint8_t *>(echo.bytes().data());
                const bool echoed =
                    echo.error() == Error::None ||
                    (echo.error() == Error::Foreign &&
                     protocol::checkAddressEcho(data, std::size_t(echo.bytes().size()), old));
                if (!echoed) {
                    if (echo.error() == Error::Foreign) {
                        printErr(QStringLiteral("address: the echo is not the request's: %1")
                                     .arg(hexBytes(echo.bytes())));
                        done(kExitFailed);
                        return;
                    }
                    done(failure(context, echo, old, QStringLiteral("address"), timeout));
                    return;
                }
                whenFinished(client.readStatus(newAddress), [&context, &client, done, old,
                                                             newAddress,
                                                             timeout](const Reply &atNew) {
                    if (atNew.error() != Error::None) {
                        done(failure(context, atNew, newAddress,
                                     QStringLiteral("address: proof at the new address"), timeout));
                        return;
                    }
                    whenFinished(client.readStatus(old), [&context, done, old, newAddress,
                                                          timeout](const Reply &atOld) {
                        if (atOld.error() == Error::Interrupted || atOld.error() == Error::Port) {
                            done(failure(context, atOld, old,
                                         QStringLiteral("address: proof at the old address"),
                                         timeout));
                            return;
                        }
                        if (atOld.error() != Error::Timeout) {
                            printErr(QStringLiteral("address: the old address %1 still answers")
                                         .arg(old));
                            done(kExitFailed);
                            return;
                        }
                        if (context.options.json) {
                            supply::JsonObject json;
                            json.number("old_address", old)
                                .number("address", newAddress)
                                .boolean("confirmed", true);
                            context.console.out(QString::fromUtf8(json.toJson()));
                        } else {
                            context.console.out(QStringLiteral("address %1 -> %2: the new "
                                                               "address answers, the old one "
                                                               "is silent")
                                                    .arg(old)
                                                    .arg(newAddress));
                        }
                        done(kExitOk);
                    });
                });
            });
        });
    });
}

} // namespace ctl
