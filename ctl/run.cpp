#include "ctl/run.h"

#include "ctl/commands.h"
#include "ctl/logger.h"
#include "ctl/mqttlog.h"
#include "ctl/output.h"
#include "ctl/rowoptions.h"
#include "ctl/stopsignals.h"
#include "supply/rowwriter.h"
#include "supply/sequence.h"

#include <QDateTime>
#include <QFile>
#include <QPointer>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace ctl {

ShellRunLine::ShellRunLine(supply::Client &client, std::uint8_t address, milliseconds interval,
                           QObject *parent)
    : QObject(parent), m_client(client), m_address(address), m_schedule(interval)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ShellRunLine::due);
}

void ShellRunLine::begin(std::function<void(const supply::Row &)> reading,
                         std::function<void(const QString &)> failed)
{
    m_reading = std::move(reading);
    m_failed = std::move(failed);
    m_active = true;
    m_clock.start();
    m_schedule.start(0);
    arm();
}

void ShellRunLine::end()
{
    m_active = false;
    m_timer.stop();
}

void ShellRunLine::arm()
{
    if (!m_active || m_busy) {
        return;
    }
    const qint64 wait = m_schedule.untilNextRound(nowNs());
    m_timer.start(static_cast<int>((wait + 999'999) / 1'000'000));
}

void ShellRunLine::due()
{
    if (!m_active || m_busy) {
        return; // the reading or write on the line calls arm() when it is done
    }
    if (m_aligned) {
        m_schedule.roundStarted(nowNs());
    }
    readOne();
}

void ShellRunLine::readSoon()
{
    if (!m_active) {
        return;
    }
    if (m_busy) {
        m_extraDue = true;
        return;
    }
    readOne();
}

void ShellRunLine::readOne()
{
    m_busy = true;
    m_timer.stop();
    QPointer<ShellRunLine> self(this);
    supply::takeReading(m_client, m_rows, m_address, [self](const supply::Reading &reading) {
        if (!self) {
            return;
        }
        self->m_busy = false;
        if (!self->m_active) {
            return;
        }
        self->deliver(reading);
        if (reading.error == supply::Error::Port) {
            self->m_active = false;
            self->m_failed(reading.detail);
            return;
        }
        self->idleAgain();
    });
}

void ShellRunLine::idleAgain()
{
    if (!m_active || m_busy) {
        return;
    }
    if (m_extraDue) {
        m_extraDue = false;
        readOne();
        return;
    }
    arm();
}

void ShellRunLine::deliver(const supply::Reading &reading)
{
    if (reading.error == supply::Error::Interrupted) {
        return;
    }
    if (!m_aligned) {
        // The first request waited for the line to be quiet: the slots count from
        // when it went out.
        m_aligned = true;
        const qint64 agoNs = reading.row.time.msecsTo(QDateTime::currentDateTime()) * 1'000'000;
        const qint64 sentNs = nowNs() - std::max<qint64>(0, agoNs);
        m_schedule.start(sentNs);
        m_schedule.roundStarted(sentNs);
    }
    if (m_reading) {
        m_reading(reading.row);
    }
}

void ShellRunLine::write(supply::Target target, std::uint16_t value,
                         std::function<void(const QString &)> retrying,
                         std::function<void(const supply::WriteResult &)> done)
{
    m_busy = true;
    m_timer.stop();
    QPointer<ShellRunLine> self(this);
    supply::WriteCallbacks callbacks;
    callbacks.readBack = [self](const supply::Reading &reading) {
        if (self && self->m_active) {
            self->deliver(reading);
        }
    };
    callbacks.retrying = std::move(retrying);
    callbacks.done = [self, done = std::move(done)](const supply::WriteResult &result) {
        if (self) {
            self->m_busy = false;
        }
        done(result);
        if (self) {
            self->idleAgain();
        }
    };
    supply::confirmedWrite(m_client, m_rows, supply::writeRequest(m_address, target, value),
                           supply::confirmsWrite(target, value), std::move(callbacks));
}

void ShellRunLine::interrupt()
{
    m_client.interrupt();
}

void ShellRunLine::switchOff(std::function<void(const supply::WriteResult &)> done)
{
    m_client.resume();
    supply::WriteCallbacks callbacks;
    callbacks.done = std::move(done);
    supply::switchOff(m_client, m_rows, m_address, std::move(callbacks));
}

namespace {

// Reads and checks a sequence file (`-`: stdin); nullopt after saying
// FILE:LINE: what is wrong.
std::optional<supply::Sequence> readSequence(const QString &path)
{
    constexpr qint64 kLargestFile = 16 * 1024 * 1024;
    QFile file;
    const bool fromStdin = path == QLatin1String("-");
    const bool opened = fromStdin ? file.open(stdin, QIODevice::ReadOnly)
                                  : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    const QString name = fromStdin ? QStringLiteral("stdin") : path;
    if (!opened) {
        printErr(QStringLiteral("%1: %2").arg(name, file.errorString()));
        return std::nullopt;
    }
    const QByteArray bytes = file.read(kLargestFile + 1);
    if (bytes.size() > kLargestFile) {
        printErr(QStringLiteral("%1: larger than 16 MiB; not a sequence file").arg(name));
        return std::nullopt;
    }
    const supply::ParsedSequence parsed =
        supply::parseSequenceFile(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    if (parsed.error) {
        std::fputs(qPrintable(QStringLiteral("%1:%2: %3\n")
                                  .arg(name)
                                  .arg(parsed.error->line)
                                  .arg(QString::fromStdString(parsed.error->message))),
                   stderr);
        return std::nullopt;
    }
    return parsed.sequence;
}

int exitCode(const supply::RunEnd &end, int signalNumber)
{
    if (end.output == supply::RunEnd::Output::MayBeOn) {
        return kExitFailed;
    }
    switch (end.how) {
    case supply::RunEnd::How::Completed:
        return kExitOk;
    case supply::RunEnd::How::Stopped:
        return 128 + signalNumber;
    case supply::RunEnd::How::Aborted:
        break;
    }
    return kExitFailed;
}

} // namespace

Prepared prepareRun(const CommandLine &line, const CommonOptions &common)
{
    const QString abortChoice = line.value(QStringLiteral("on-abort"));
    if (abortChoice != QLatin1String("off") && abortChoice != QLatin1String("keep")) {
        return Prepared::refused(
            QStringLiteral("--on-abort takes off or keep, not '%1'").arg(abortChoice));
    }
    const bool check = line.isSet(QStringLiteral("check"));
    if (check && common.json) {
        return Prepared::refused(
            QStringLiteral("run --check prints its plan as text; --json is not taken with it"));
    }
    RowOptions rows;
    if (!check) {
        const QString problem =
            readRowOptions(line, common, true, supply::RowWriter::Existing::Refuse, &rows);
        if (!problem.isEmpty()) {
            return Prepared::refused(problem);
        }
    }
    const auto sequence = readSequence(line.arguments().value(0));
    if (!sequence) {
        Prepared refused;
        refused.exitCode = kExitUsage; // said already, as FILE:LINE: what
        return refused;
    }
    // What the file asks that the run may not do as written, at this interval.
    const auto interval = parseWhole(line.value(QStringLiteral("interval")), 1, 3600 * 1000);
    const QString name = line.arguments().value(0) == QLatin1String("-")
                             ? QStringLiteral("stdin")
                             : line.arguments().value(0);
    for (const supply::SequenceWarning &warning :
         sequence->warnings(interval ? *interval : rows.interval.count())) {
        std::fputs(qPrintable(QStringLiteral("%1:%2: warning: %3\n")
                                  .arg(name)
                                  .arg(warning.line)
                                  .arg(QString::fromStdString(warning.message))),
                   stderr);
    }
    if (check) {
        return Prepared::run(
            [plan = sequence->plan()](Context &context, Done done) {
                for (const std::string &planLine : plan) {
                    context.console.out(QString::fromStdString(planLine));
                }
                done(kExitOk);
            },
            false);
    }
    supply::RunOptions options;
    options.address = common.address;
    options.keepOnAbort = abortChoice == QLatin1String("keep");
    auto shared = std::make_shared<const supply::Sequence>(*sequence);
    auto action = [shared, options, rows, portName = common.port.name()](Context &context,
                                                                         Done done) {
        auto writer = std::make_shared<supply::RowWriter>(rows.format, true);
        const QString failed = writer->open(rows.path, rows.existing);
        if (!failed.isEmpty()) {
            printErr(QStringLiteral("cannot write ") + failed);
            done(kExitUsage);
            return;
        }
        std::shared_ptr<MqttLog> publishing;
        if (!rows.mqtt.url.isEmpty()) {
            QString error;
            publishing = MqttLog::start(rows.mqtt, portName, {options.address}, &error);
            if (!publishing) {
                printErr(QStringLiteral("--mqtt: ") + error);
                done(kExitUsage);
                return;
            }
        }
        auto *line = new ShellRunLine(context.client, options.address, rows.interval);
        auto *runner = new supply::Runner(*line, *shared, options, line);
        QObject::connect(runner, &supply::Runner::message, runner, &printErr);
        QObject::connect(runner, &supply::Runner::rowTaken, runner,
                         [runner, writer, publishing](const supply::Row &row) {
                             const QString why = writer->write(row);
                             if (!why.isEmpty()) {
                                 printErr(QStringLiteral("cannot write a row to %1; the run "
                                                         "aborts")
                                              .arg(why));
                                 runner->fail(
                                     QStringLiteral("a row could not be written to %1").arg(why));
                                 return;
                             }
                             if (publishing) {
                                 publishing->publish(row);
                             }
                         });
        QObject::connect(&context.stops, &StopSignals::stopRequested, runner,
                         [runner] { runner->stop(QStringLiteral("stopped by a signal")); });
        QObject::connect(
            runner, &supply::Runner::finished, runner,
            [&context, line, shared, publishing, done](const supply::RunEnd &end) {
                if (end.output == supply::RunEnd::Output::LeftAsIs) {
                    printErr(QStringLiteral("the output is left as it is (--on-abort keep)"));
                }
                for (const QString &text : linkSummary(context.client.stats())) {
                    printErr(text);
                }
                if (publishing) {
                    publishing->finish();
                }
                line->deleteLater();
                done(exitCode(end, context.stops.received()));
            });
        runner->start();
    };
    return Prepared::run(action, true, true);
}

} // namespace ctl
