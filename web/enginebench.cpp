#include "web/enginebench.h"

#include "engine/client.h"
#include "engine/failuretable.h"
#include "protocol/frames.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <utility>

namespace web {

namespace {

// Each supply is read at most this often; a line slower than that sets the pace.
constexpr std::chrono::milliseconds kPollInterval{100};
// After a port that went away, polling tries again this often (the port keeper
// reopens it meanwhile).
constexpr std::chrono::milliseconds kPortRetry{1000};

// An error body: the text, and the failure's word where the line failed.
Outcome error(int status, const QString &text, engine::Error failure = engine::Error::None)
{
    QJsonObject body{{QStringLiteral("error"), text}};
    if (failure != engine::Error::None) {
        body.insert(QStringLiteral("failure"), engine::errorWord(failure));
    }
    return {status, body};
}

// A failure of the line, with the status the failure table gives it.
Outcome failed(engine::Error failure, const QString &text)
{
    return error(engine::facesOf(failure).httpStatus, text, failure);
}

QJsonValue orNull(const std::optional<engine::HeldCeiling> &ceiling, double scale)
{
    return ceiling ? QJsonValue(ceiling->value / scale) : QJsonValue(QJsonValue::Null);
}

} // namespace

QJsonObject supplyObject(int address, const records::Row *row, const QJsonObject &ceilings)
{
    QJsonObject object;
    if (row) {
        object = QJsonDocument::fromJson(records::RowWriter::jsonLine(*row, false)).object();
    } else {
        for (const QString &key : records::RowWriter::csvHeader(false).split(QLatin1Char(','))) {
            object.insert(key, QJsonValue::Null);
        }
        object.insert(QStringLiteral("address"), address);
    }
    object.insert(QStringLiteral("name"), QStringLiteral("address %1").arg(address));
    object.insert(QStringLiteral("ceilings"), ceilings);
    return object;
}

EngineBench::EngineBench(engine::Session &session, engine::Client &client, const QString &lineName,
                         std::vector<std::uint8_t> addresses)
    : m_client(client), m_line(lineName), m_addresses(std::move(addresses)), m_session(session)
{
}

engine::SessionSettings EngineBench::sessionSettings()
{
    return engine::SessionSettings{kPollInterval, kPortRetry};
}

EngineBench::~EngineBench()
{
    *m_alive = false;
    // The session outlives the bench: its polling and what it still waits for end.
    m_session.cancel(m_caller);
}

QString EngineBench::start(bool keepRecord)
{
    m_recordFailed = !keepRecord;
    if (keepRecord) {
        const QString folder = m_folder.make();
        if (!folder.isEmpty()) {
            return folder;
        }
        const QString why = m_record.open(recordPath(), records::RowWriter::Existing::Overwrite);
        if (!why.isEmpty()) {
            return why;
        }
    }
    m_session.poll(m_caller, m_addresses, [this, alive = m_alive](const engine::LineAnswer &a) {
        if (*alive) {
            took(a);
        }
    });
    return {};
}

void EngineBench::stop()
{
    m_stopped = true;
    // The write on the line finishes as it would have; the rest are dropped.
    m_session.cancelWaiting(m_caller);
}

QString EngineBench::recordPath() const
{
    return m_folder.filePath(QStringLiteral("record.csv"));
}

QJsonObject EngineBench::ceilings(std::uint8_t address) const
{
    const engine::CeilingRegistry &registry = m_client.ceilings();
    const auto volts = registry.tightest(address, engine::CeilingKind::Voltage);
    const auto amps = registry.tightest(address, engine::CeilingKind::Current);
    const auto watts = registry.tightest(address, engine::CeilingKind::Power);
    const auto &holder = volts ? volts : amps;
    return {{QStringLiteral("v"), orNull(volts, 100)},
            {QStringLiteral("a"), orNull(amps, 1000)},
            {QStringLiteral("w"), orNull(watts, 100)},
            {QStringLiteral("by"), holder ? QJsonValue(QString::fromStdString(holder->holderText()))
                                          : QJsonValue(QJsonValue::Null)}};
}

QJsonObject EngineBench::supply(std::uint8_t address) const
{
    const auto found = m_latest.find(address);
    return supplyObject(address, found == m_latest.end() ? nullptr : &found->second,
                        ceilings(address));
}

void EngineBench::took(const engine::LineAnswer &answer)
{
    // A stop took nothing: no row to keep.
    if (answer.failure.error != engine::Error::Interrupted) {
        keep(m_rows.make(answer.address, answer.sentTime, answer.reading, answer.failure));
    }
}

void EngineBench::keep(const records::Row &row)
{
    m_latest[std::uint8_t(row.address)] = row;
    if (!m_recordFailed) {
        const QString why = m_record.write(row);
        if (!why.isEmpty()) {
            // The record stops at its last whole row; the page goes on.
            m_recordFailed = true;
            qWarning("the record stops: %s", qPrintable(why));
        }
    }
    if (reading) {
        reading(supply(std::uint8_t(row.address)));
    }
    if (rowTaken) {
        rowTaken(row);
    }
}

void EngineBench::write(std::uint8_t address, std::vector<protocol::Frame> requests,
                        engine::Confirms confirms, Answer answer)
{
    if (m_stopped) {
        answer(failed(engine::Error::Interrupted, QStringLiteral("the server is stopping")));
        return;
    }
    // Refused before anything goes out, all of it or none.
    for (const protocol::Frame &request : requests) {
        const auto why = m_client.ceilings().refusal(request, m_line.toStdString());
        if (why) {
            answer(failed(engine::Error::Refused, QString::fromStdString(*why)));
            return;
        }
    }
    engine::WriteWatch watch;
    watch.readBack = [this, alive = m_alive](const engine::LineAnswer &a) {
        if (*alive) {
            took(a);
        }
    };
    watch.done = [this, alive = m_alive, address,
                  answer = std::move(answer)](const engine::WriteOutcome &w) {
        if (!*alive) {
            return;
        }
        if (w.confirmed()) {
            answer({200, QJsonObject{{QStringLiteral("reading"), supply(address)}}});
        } else if (w.failure.error == engine::Error::Interrupted && m_switchingOff) {
            answer(error(409,
                         w.started ? QStringLiteral("stopped: every output is being "
                                                    "switched off")
                                   : QStringLiteral("dropped: every output was switched "
                                                    "off before it was sent"),
                         engine::Error::Interrupted));
        } else if (w.failure.error == engine::Error::Interrupted && m_stopped) {
            answer(failed(engine::Error::Interrupted, QStringLiteral("the server is stopping")));
        } else if (w.failure.error == engine::Error::Refused) {
            answer(failed(w.failure.error, w.problem.isEmpty() ? w.failure.detail : w.problem));
        } else {
            answer(
                failed(w.failure ? w.failure.error : engine::Error::NotConfirmed, failureText(w)));
        }
    };
    m_session.write(m_caller, std::move(requests), std::move(confirms), std::move(watch));
}

QString EngineBench::failureText(const engine::WriteOutcome &w) const
{
    if (w.failure.error == engine::Error::Port) {
        return failureCause(w);
    }
    return QStringLiteral("not confirmed: %1").arg(failureCause(w));
}

QString EngineBench::failureCause(const engine::WriteOutcome &w) const
{
    if (w.failure.error == engine::Error::Port) {
        return m_line + QStringLiteral(": the device is gone");
    }
    return w.problem.isEmpty() ? w.failure.text() : w.problem;
}

void EngineBench::set(std::uint8_t address, std::optional<std::uint16_t> voltage,
                      std::optional<std::uint16_t> current, Answer answer)
{
    std::vector<protocol::Frame> requests;
    std::vector<engine::Confirms> checks;
    if (voltage) {
        requests.push_back(records::writeRequest(address, records::Target::Voltage, *voltage));
        checks.push_back(records::confirmsWrite(records::Target::Voltage, *voltage));
    }
    if (current) {
        requests.push_back(records::writeRequest(address, records::Target::Current, *current));
        checks.push_back(records::confirmsWrite(records::Target::Current, *current));
    }
    write(
        address, std::move(requests),
        [checks](const protocol::StatusReading &status) {
            return std::all_of(checks.begin(), checks.end(),
                               [&status](const auto &check) { return check(status); });
        },
        std::move(answer));
}

void EngineBench::output(std::uint8_t address, bool on, Answer answer)
{
    write(address, {records::writeRequest(address, records::Target::Output, on ? 1 : 0)},
          records::confirmsWrite(records::Target::Output, on ? 1 : 0), std::move(answer));
}

void EngineBench::allOff(Answer answer)
{
    m_switchingOff = true;
    m_session.allOff(
        m_caller, m_addresses,
        [this, alive = m_alive, answer = std::move(answer)](const engine::AllOffOutcome &all) {
            if (!*alive) {
                return;
            }
            QJsonArray off;
            for (std::uint8_t address : all.off) {
                off.append(address);
            }
            // The list itself says "not confirmed off"; each entry says why.
            QJsonArray failed;
            for (const auto &[address, w] : all.failed) {
                failed.append(
                    QJsonObject{{QStringLiteral("address"), address},
                                {QStringLiteral("error"), failureCause(w)},
                                {QStringLiteral("failure"),
                                 engine::errorWord(w.failure ? w.failure.error
                                                             : engine::Error::NotConfirmed)}});
            }
            answer({200,
                    QJsonObject{{QStringLiteral("off"), off}, {QStringLiteral("failed"), failed}}});
        },
        [this, alive = m_alive](const engine::LineAnswer &a) {
            if (*alive) {
                took(a);
            }
        });
    m_switchingOff = false;
}

} // namespace web
