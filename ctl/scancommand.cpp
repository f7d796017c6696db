#include "ctl/tool.h"

#include "ctl/commands.h"
#include "ctl/output.h"
#include "ctl/platform.h"
#include "ctl/tool_p.h"
#include "records/format.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

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
        for (const engine::LateFrame &frame : context.client.takeLateFrames()) {
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
                           records::statusJson(a, *reply.reading()).null("error").toJson())
                     : QStringLiteral("%1  %2").arg(a, 3).arg(statusText(*reply.reading())));
        } else {
            // Something answers there, but not with a status we can take.
            const QString what = scanProblem(reply);
            records::JsonObject row;
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

} // namespace

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

} // namespace ctl
