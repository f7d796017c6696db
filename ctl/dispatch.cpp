#include "ctl/commands.h"
#include "ctl/output.h"
#include "ctl/platform.h"
#include "ctl/stopsignals.h"
#include "ctl/tool.h"
#include "line/linehost.h"
#include "line/networkport.h"
#include "line/sharedport.h"
#include "serial/makecommcontrol.h"
#include "serial/portnames.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace ctl {

namespace {

constexpr milliseconds kLongestStartQuiet{500};

} // namespace

QString readCommonOptions(const CommandLine &line, CommonOptions *common)
{
    const auto isSet = [&line](const char *name) { return line.isSet(QString::fromUtf8(name)); };
    const auto value = [&line](const char *name) { return line.value(QString::fromUtf8(name)); };
    const auto port = parsePort(value("port"));
    const auto address = parseAddress(value("address"));
    const auto timeout = parseWhole(value("timeout"), 1, 60000);
    if (!port || !address || !timeout) {
        return !port      ? port.error()
               : !address ? address.error()
                          : QStringLiteral("--timeout: ") + timeout.error();
    }
    common->port = *port;
    if (!common->port.network && common->port.devicePath.isEmpty()) {
        // A COMn that names a network line opens it, as in the windows; a text
        // there that is no network line leaves the name a serial one, not found.
        const QString target = serial::networkTarget(common->port.comPort);
        if (!target.isEmpty()) {
            QString why;
            common->port.network = values::parseNetworkAddress(target, &why);
        }
    }
    common->address = *address;
    common->timeout = milliseconds(*timeout);
    common->timeoutGiven = isSet("timeout");
    common->json = isSet("json");
    common->echo = isSet("echo");
    common->verbose = isSet("verbose");
    return {};
}

int dispatch(const QStringList &arguments, bool stdoutClosed)
{
    const CommandLine line(arguments);
    switch (line.outcome()) {
    case CommandLine::Outcome::Help:
        writeText(stdout, line.text());
        return kExitOk;
    case CommandLine::Outcome::Version:
        std::printf("vantelctl %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return kExitOk;
    case CommandLine::Outcome::Refused:
        printErr(line.text());
        return kExitUsage;
    case CommandLine::Outcome::Run:
        break;
    }
    const auto usageError = [](const QString &message) {
        printErr(message + QStringLiteral(" (see vantelctl --help)"));
        return kExitUsage;
    };
    CommonOptions common;
    const QString problem = readCommonOptions(line, &common);
    if (!problem.isEmpty()) {
        return usageError(problem);
    }
    // Everything is checked before the port opens, so a refusal sends nothing.
    const Prepared prepared = line.command()->prepare(line, common);
    if (!prepared.action) {
        return prepared.usageError.isEmpty() ? prepared.exitCode : usageError(prepared.usageError);
    }
    if (common.verbose) {
        engine::enableLineTrace(stderr);
    }

    Console console(stdoutClosed);
    StopSignals stops;
    // A serial port is shared: this program owns the device and offers the line to
    // the other programs of ours, or joins the one that owns it.
    line::SharedPort *shared = nullptr;
    std::unique_ptr<serial::BufferedCommControl> comm;
    if (common.port.network) {
        comm = std::make_unique<line::TcpPort>(*common.port.network);
    } else {
        auto port = std::make_unique<line::SharedPort>(serial::makeCommControl());
        shared = port.get();
        comm = std::move(port);
    }
    engine::Client client(*comm);
    std::unique_ptr<line::LineHost> host;
    if (shared) {
        host = std::make_unique<line::LineHost>(*shared, client);
    }
    client.setTimeout(common.timeout);
    client.setEcho(common.echo);
    // A reply to an earlier program's request comes within a supply's latency (up
    // to 300 ms) and its own length: a long --timeout need not delay the start.
    client.setStartQuiet(std::min(common.timeout, kLongestStartQuiet));
    if (!prepared.takesStops) {
        QObject::connect(&stops, &StopSignals::stopRequested, &client, &engine::Client::interrupt);
    }
    Context context{*comm, client, common, stops, console};
    int code = kExitOk;
    if (prepared.opensPort) {
        // The first open, before the event loop turns, may wait a moment for an
        // owner of ours that holds the device but does not listen yet; a reopen
        // later (a lost port, a handover) never sleeps.
        if (shared) {
            shared->setOwnerWait(line::SharedPort::kJoinWait);
        }
        code = openPort(*comm, common);
        if (shared) {
            shared->setOwnerWait(std::chrono::milliseconds{0});
        }
        if (code == kExitOk) {
            client.start();
        }
    }
    if (code == kExitOk) {
        bool finished = false;
        const auto end = [&] {
            finished = true;
            QCoreApplication::quit();
        };
        QTimer::singleShot(0, [&] {
            prepared.action(context, [&](int exitCode) {
                code = exitCode;
                // Requests of the programs that joined this one are answered on
                // this loop before the line goes to one of them; the loop ends
                // once they are, or after their bound.
                if (host && comm->PortOpen()) {
                    host->finish(common.timeout + line::LineHost::kFinishMargin, end);
                    if (!host->relaying()) {
                        host->finishNow();
                    }
                } else {
                    end();
                }
            });
        });
        while (!finished) {
            QCoreApplication::exec();
        }
    }
    // A log and a run have said how a stop ended them and chosen their exit code.
    if (!prepared.takesStops && (client.interrupted() || stops.received() != 0)) {
        printErr(QStringLiteral("interrupted"));
        code = stops.exitCode();
    }
    if (comm->PortOpen()) {
        comm->setPortOpen(false);
    }
    // A log and a run write their rows themselves and say when one fails.
    if (!prepared.takesStops && !console.outError().isEmpty()) {
        printErr(QStringLiteral("cannot write to stdout: ") + console.outError());
        code = code == kExitOk ? kExitFailed : code;
    }
    return code;
}

} // namespace ctl
