#include "ctl/tool.h"

#include "ctl/format.h"
#include "ctl/platform.h"
#include "protocol/frames.h"
#include "protocol/reply.h"

#include <algorithm>
#include <cstdio>

namespace ctl {

namespace {

// An address that does not answer costs this wait in a scan unless --timeout
// says otherwise: the 8-byte request takes 8.3 ms on the line, and the wait
// finds a supply that starts its reply up to 150 ms after it with room to spare.
// Once a reply has begun, the full reply timeout applies.
constexpr milliseconds kScanWait{200};
// After the last address a scan still listens this long for late replies.
constexpr milliseconds kScanLinger{300};

QString plural(long n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

QString exceptionName(int code)
{
    return QString::fromLatin1(protocol::exceptionName(code));
}

// What was wrong with a reply that came from the address asked.
QString scanProblem(const Reply &reply)
{
    switch (reply.outcome) {
    case Outcome::Exception:
        return QStringLiteral("with exception %1 (%2)")
            .arg(reply.exceptionCode)
            .arg(exceptionName(reply.exceptionCode));
    case Outcome::BadCrc:
        return QStringLiteral("with a bad CRC: ") + hexBytes(reply.bytes);
    case Outcome::Short:
        return QStringLiteral("with a reply that stopped short: ") + hexBytes(reply.bytes);
    default:
        return outcomeWord(reply.outcome, reply.exceptionCode);
    }
}

// A scan's JSON line: the status object with "error": null, or every value null
// and what was wrong.
QString scanJson(int address, const QString &status, const QString &error)
{
    if (!status.isEmpty()) {
        return status.left(status.size() - 1) + QStringLiteral(R"(,"error":null})");
    }
    return QStringLiteral(R"({"address":%1,"set_v":null,"set_a":null,"v":null,"a":null,)"
                          R"("w":null,"output":null,"mode":null,"error":%2})")
        .arg(address)
        .arg(jsonString(error));
}

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

void printOut(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

void printErr(const QString &line)
{
    std::fputs(qPrintable(QStringLiteral("vantelctl: ") + line + QLatin1Char('\n')), stderr);
    std::fflush(stderr);
}

QString openFailureText(const QString &portName, int error, const QString &description)
{
    switch (error) {
    case serial::kErrPortNotFound:
        return QStringLiteral("%1 is not found (see `vantelctl ports`)").arg(portName);
    case serial::kErrPortInUse:
        return QStringLiteral("%1 is in use by another program (%2); close it and try again")
            .arg(portName, description);
    case serial::kErrNoAccess:
        return description; // names the port, the device, its group and what to do
    default:
        return QStringLiteral("%1 cannot be opened: %2").arg(portName, description);
    }
}

Tool::Tool(serial::BufferedCommControl &comm, CommonOptions options)
    : m_comm(comm), m_options(std::move(options)), m_link(comm)
{
    m_link.setReplyTimeout(m_options.timeout);
    m_link.setEcho(m_options.echo);
}

int Tool::open()
{
    try {
        m_comm.setSettings(QStringLiteral("9600,n,8,1"));
        m_comm.setDevicePath(m_options.port.devicePath);
        m_comm.setCommPort(m_options.port.comPort);
        m_comm.setPortOpen(true);
    } catch (const serial::CommError &error) {
        printErr(openFailureText(m_options.port.name(), error.number(),
                                 QString::fromStdString(error.what())));
        return kExitNoPort;
    }
    return kExitOk;
}

int Tool::ports()
{
    const std::vector<PortEntry> entries = listPorts(m_comm);
    for (const PortEntry &p : entries) {
        if (m_options.json) {
            printOut(QStringLiteral(R"({"port":%1,"device":%2,"state":%3,"description":%4})")
                         .arg(jsonString(p.name), jsonString(p.device), jsonString(p.state),
                              p.description.isEmpty() ? QStringLiteral("null")
                                                      : jsonString(p.description)));
        } else {
            QString line =
                QStringLiteral("%1  %2  %3").arg(p.name, -6).arg(p.device, -24).arg(p.state);
            if (!p.description.isEmpty()) {
                line += QStringLiteral("  ") + p.description;
            }
            printOut(line.trimmed());
        }
    }
    if (entries.empty()) {
        printErr(QStringLiteral("no COM port resolves to a device"));
    }
    return kExitOk;
}

int Tool::failure(const Reply &reply, std::uint8_t address, const QString &what)
{
    const QString bytes = hexBytes(reply.bytes);
    m_failure = kExitFailed;
    switch (reply.outcome) {
    case Outcome::Ok:
        return kExitOk;
    case Outcome::Interrupted:
        m_failure = kExitSigint;
        return m_failure;
    case Outcome::Exception:
        printErr(QStringLiteral("%1: address %2 answered with exception %3 (%4)")
                     .arg(what)
                     .arg(address)
                     .arg(reply.exceptionCode)
                     .arg(exceptionName(reply.exceptionCode)));
        break;
    case Outcome::Timeout:
        printErr(QStringLiteral("%1: no reply from address %2 within %3 ms")
                     .arg(what)
                     .arg(address)
                     .arg(m_options.timeout.count()));
        break;
    case Outcome::BadCrc:
        printErr(QStringLiteral("%1: the reply from address %2 has a bad CRC: %3")
                     .arg(what)
                     .arg(address)
                     .arg(bytes));
        break;
    case Outcome::Foreign:
        if (!reply.error.isEmpty()) {
            printErr(QStringLiteral("%1: %2: got %3").arg(what, reply.error, bytes));
        } else {
            printErr(QStringLiteral("%1: bytes that are no reply from address %2: %3")
                         .arg(what)
                         .arg(address)
                         .arg(bytes));
        }
        break;
    case Outcome::Short:
        printErr(QStringLiteral("%1: the reply from address %2 stopped short: %3")
                     .arg(what)
                     .arg(address)
                     .arg(bytes));
        break;
    case Outcome::PortFailed:
        printErr(QStringLiteral("%1: the port failed: %2").arg(what, reply.error));
        break;
    }
    return m_failure;
}

std::optional<protocol::StatusReading> Tool::readStatus(std::uint8_t address)
{
    const Reply reply = m_link.readStatus(address);
    if (!reply.ok()) {
        failure(reply, address, QStringLiteral("read"));
        return std::nullopt;
    }
    auto reading = protocol::decodeStatusReading(reply.data(), reply.size());
    if (!reading) {
        m_failure = kExitFailed;
        printErr(QStringLiteral("read: address %1 sent values outside what a supply reports: %2")
                     .arg(address)
                     .arg(hexBytes(reply.bytes)));
    }
    return reading;
}

bool Tool::write(const protocol::Frame &request, const QString &what)
{
    const Reply reply = m_link.write(request);
    if (!reply.ok()) {
        failure(reply, request[0], what);
        return false;
    }
    return true;
}

int Tool::read()
{
    const auto reading = readStatus(m_options.address);
    if (!reading) {
        return m_failure;
    }
    printOut(m_options.json ? statusJson(m_options.address, *reading) : statusText(*reading));
    return kExitOk;
}

int Tool::scan(int from, int to)
{
    const bool progress = stderrIsTerminal() && !m_options.json;
    const milliseconds wait = m_options.timeoutGiven ? m_options.timeout : kScanWait;
    long found = 0;
    long late = 0;
    const auto clearProgress = [progress] {
        if (progress) {
            std::fputs("\r\033[K", stderr);
        }
    };
    const auto reportLate = [&] {
        for (const LateFrame &frame : m_link.takeLateFrames()) {
            ++late;
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
    };
    for (int address = from; address <= to; ++address) {
        if (progress) {
            std::fprintf(stderr, "\rscanning %d of %d..%d", address, from, to);
            std::fflush(stderr);
        }
        const auto a = static_cast<std::uint8_t>(address);
        const Reply reply = m_link.readStatus(a, wait);
        reportLate();
        if (reply.outcome == Outcome::Interrupted) {
            break;
        }
        if (reply.outcome == Outcome::PortFailed) {
            clearProgress();
            failure(reply, a, QStringLiteral("scan"));
            return kExitFailed;
        }
        if (reply.outcome == Outcome::Timeout) {
            continue;
        }
        clearProgress();
        if (reply.outcome == Outcome::Foreign) {
            failure(reply, a, QStringLiteral("scan")); // bytes that are nobody's reply
            continue;
        }
        ++found;
        const auto reading =
            reply.ok() ? protocol::decodeStatusReading(reply.data(), reply.size()) : std::nullopt;
        if (reading) {
            printOut(m_options.json
                         ? scanJson(address, statusJson(address, *reading), QString())
                         : QStringLiteral("%1  %2").arg(address, 3).arg(statusText(*reading)));
        } else {
            // Something answers there, but not with a status we can take.
            const QString what =
                reply.ok() ? QStringLiteral("with values outside what a supply reports: ") +
                                 hexBytes(reply.bytes)
                           : scanProblem(reply);
            printOut(m_options.json
                         ? scanJson(address, QString(), what)
                         : QStringLiteral("%1  answers, but %2").arg(address, 3).arg(what));
        }
        if (m_options.first) {
            break;
        }
    }
    if (!m_link.interrupted() && !(m_options.first && found > 0)) {
        m_link.linger(kScanLinger);
        reportLate();
    }
    clearProgress();
    if (m_link.interrupted()) {
        return kExitSigint;
    }
    printErr(QStringLiteral("%1 answered in %2..%3")
                 .arg(plural(found, "address", "addresses"))
                 .arg(from)
                 .arg(to));
    return found > 0 ? kExitOk : kExitFailed;
}

int Tool::set(std::optional<std::uint16_t> voltageCode, std::optional<std::uint16_t> currentCode)
{
    const std::uint8_t address = m_options.address;
    if (voltageCode) {
        if (!write(protocol::buildSetVoltageRequest(address, *voltageCode),
                   QStringLiteral("set voltage"))) {
            return m_failure;
        }
    }
    if (currentCode) {
        if (!write(protocol::buildSetCurrentRequest(address, *currentCode),
                   QStringLiteral("set current"))) {
            return m_failure;
        }
    }
    const auto reading = readStatus(address);
    if (!reading) {
        return m_failure;
    }
    QStringList differences;
    if (voltageCode && reading->setVoltage != *voltageCode) {
        differences << QStringLiteral("the voltage set value reads %1 V, sent %2 V")
                           .arg(fixedPoint(reading->setVoltage, 2), fixedPoint(*voltageCode, 2));
    }
    if (currentCode && reading->setCurrent != *currentCode) {
        differences << QStringLiteral("the current set value reads %1 A, sent %2 A")
                           .arg(fixedPoint(reading->setCurrent, 3), fixedPoint(*currentCode, 3));
    }
    const auto sent = [](const std::optional<std::uint16_t> &code, int decimals) {
        return code ? shortestPoint(*code, decimals) : QStringLiteral("null");
    };
    if (m_options.json) {
        printOut(
            QStringLiteral(R"({"address":%1,"sent_v":%2,"sent_a":%3,"confirmed":%4,"reading":%5})")
                .arg(address)
                .arg(sent(voltageCode, 2), sent(currentCode, 3),
                     differences.isEmpty() ? QStringLiteral("true") : QStringLiteral("false"),
                     statusJson(address, *reading)));
    } else {
        QStringList sentText;
        if (voltageCode) {
            sentText << fixedPoint(*voltageCode, 2) + QStringLiteral(" V");
        }
        if (currentCode) {
            sentText << fixedPoint(*currentCode, 3) + QStringLiteral(" A");
        }
        printOut(QStringLiteral("sent ") + sentText.join(QLatin1Char(' ')));
        printOut(statusText(*reading));
    }
    if (!differences.isEmpty()) {
        printErr(QStringLiteral("read-back differs: ") + differences.join(QStringLiteral("; ")));
        return kExitFailed;
    }
    return kExitOk;
}

int Tool::output(bool on)
{
    const std::uint8_t address = m_options.address;
    if (!write(protocol::buildSwitchOutputRequest(address, on), QStringLiteral("output"))) {
        return m_failure;
    }
    const auto reading = readStatus(address);
    if (!reading) {
        return m_failure;
    }
    const bool confirmed = reading->outputOn == on;
    if (m_options.json) {
        printOut(QStringLiteral(R"({"address":%1,"output":%2,"confirmed":%3,"reading":%4})")
                     .arg(address)
                     .arg(on ? QStringLiteral("true") : QStringLiteral("false"),
                          confirmed ? QStringLiteral("true") : QStringLiteral("false"),
                          statusJson(address, *reading)));
    } else {
        printOut(statusText(*reading));
    }
    if (!confirmed) {
        printErr(QStringLiteral("read-back differs: the output reads %1, sent %2")
                     .arg(reading->outputOn ? QStringLiteral("on") : QStringLiteral("off"),
                          on ? QStringLiteral("on") : QStringLiteral("off")));
        return kExitFailed;
    }
    return kExitOk;
}

int Tool::address(std::uint8_t newAddress)
{
    const std::uint8_t old = m_options.address;
    // Two supplies must never share an address: one that answers at NEW already
    // keeps it, and nothing is written.
    const Reply taken = m_link.readStatus(newAddress);
    if (taken.outcome == Outcome::Interrupted || taken.outcome == Outcome::PortFailed) {
        return failure(taken, newAddress, QStringLiteral("address"));
    }
    if (taken.outcome != Outcome::Timeout) {
        printErr(QStringLiteral("address: address %1 is taken: a supply answers there; "
                                "nothing was sent to address %2")
                     .arg(newAddress)
                     .arg(old));
        return kExitUsage;
    }
    const protocol::Frame request = protocol::buildSetAddressRequest(old, newAddress);
    const Reply echo = m_link.transact(request, protocol::kWriteEchoSize);
    if (!echo.ok()) {
        return failure(echo, old, QStringLiteral("address"));
    }
    if (!protocol::checkAddressEcho(echo.data(), echo.size(), old)) {
        printErr(
            QStringLiteral("address: the echo is not the request's: %1").arg(hexBytes(echo.bytes)));
        return kExitFailed;
    }
    const Reply atNew = m_link.readStatus(newAddress);
    if (!atNew.ok()) {
        const int code =
            failure(atNew, newAddress, QStringLiteral("address: proof at the new address"));
        return code;
    }
    const Reply atOld = m_link.readStatus(old);
    if (atOld.outcome == Outcome::Interrupted || atOld.outcome == Outcome::PortFailed) {
        return failure(atOld, old, QStringLiteral("address: proof at the old address"));
    }
    if (atOld.outcome != Outcome::Timeout) {
        printErr(QStringLiteral("address: the old address %1 still answers").arg(old));
        return kExitFailed;
    }
    if (m_options.json) {
        printOut(QStringLiteral(R"({"old_address":%1,"address":%2,"confirmed":true})")
                     .arg(old)
                     .arg(newAddress));
    } else {
        printOut(QStringLiteral("address %1 -> %2: the new address answers, the old one is silent")
                     .arg(old)
                     .arg(newAddress));
    }
    return kExitOk;
}

} // namespace ctl
