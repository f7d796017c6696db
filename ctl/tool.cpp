#include "ctl/tool.h"

#include "ctl/output.h"
#include "ctl/platform.h"
#include "ctl/tool_p.h"
#include "engine/failuretable.h"
#include "line/networkport.h"
#include "line/sharedport.h"
#include "protocol/mbap.h"
#include "protocol/reply.h"

namespace ctl {

void whenFinished(Reply *reply, std::function<void(const Reply &)> then)
{
    QObject::connect(reply, &Reply::finished, reply, [reply, then = std::move(then)] {
        reply->deleteLater();
        then(*reply);
    });
}

QString exceptionName(int code)
{
    return QString::fromLatin1(protocol::exceptionName(code));
}

namespace {

// How long a request that timed out waited: the reply timeout, and over a
// network line the room the gateway has for its own wait as well. A program of
// ours that owns a shared serial line answers a joiner for that line's timeout.
milliseconds waitUsed(const serial::CommControl &comm, milliseconds timeout)
{
    const auto *network = qobject_cast<const line::TcpPort *>(&comm);
    return network ? timeout + network->extraWait() : timeout;
}

} // namespace

int failure(const Context &context, const engine::Failure &failed, const QByteArray &came,
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
        const auto *gateway = qobject_cast<const line::TcpPort *>(&context.comm);
        if (gateway && failed.gatewayCode == protocol::mbap::kGatewayTargetFailed) {
            printErr(QStringLiteral("%1: the gateway %2: no answer from address %3")
                         .arg(what, gateway->name())
                         .arg(address));
        } else if (gateway && failed.gatewayCode == protocol::mbap::kGatewayPathUnavailable) {
            printErr(QStringLiteral("%1: the gateway %2 reaches no unit %3")
                         .arg(what, gateway->name())
                         .arg(address));
        } else if (const auto *shared = qobject_cast<const line::SharedPort *>(&context.comm);
                   shared && shared->role() == line::SharedPort::Role::Joiner &&
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
    return engine::facesOf(failed.error).exitCode;
}

int failure(const Context &context, const Reply &reply, std::uint8_t address, const QString &what,
            milliseconds timeout)
{
    return failure(context, reply.failure(), reply.bytes(), address, what, timeout);
}

int writeFailure(const Context &context, const records::WriteResult &result, std::uint8_t address,
                 const QStringList &names)
{
    if (result.failedWrite) {
        return failure(context, result.failure, result.bytes, address,
                       names.value(int(*result.failedWrite)), context.options.timeout);
    }
    return failure(context, result.failure, result.bytes, address, QStringLiteral("read"),
                   context.options.timeout);
}

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
line::DeviceHolder holderOf(const serial::BufferedCommControl &comm, int error)
{
    const auto *shared = qobject_cast<const line::SharedPort *>(&comm);
    return shared && error == serial::kErrPortInUse ? shared->holder() : line::DeviceHolder{};
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

} // namespace ctl
