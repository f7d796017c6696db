#include "web/enginebench.h"

#include "engine/client.h"
#include "engine/failuretable.h"
#include "protocol/frames.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <utility>

namespace web {

namespace {

// Each supply is read at most this often; a line slower than that sets the pace.
constexpr std::chrono::milliseconds kPollInterval{100};
// After a port that went away, polling tries again this often (the port keeper
// reopens it meanwhile).
constexpr std::chrono::milliseconds kPortRetry{1000};

// An error body: the text, and the failure's word where the line failed.
Outcome error(int status, const QString &text, supply::Error failure = supply::Error::None)
{
    QJsonObject body{{QStringLiteral("error"), text}};
    if (failure != supply::Error::None) {
        body.insert(QStringLiteral("failure"), supply::errorWord(failure));
    }
    return {status, body};
}

// A failure of the line, with the status the failure table gives it.
Outcome failed(supply::Error failure, const QString &text)
{
    return error(supply::facesOf(failure).httpStatus, text, failure);
}

QJsonValue orNull(const std::optional<supply::HeldCeiling> &ceiling, double scale)
{
    return ceiling ? QJsonValue(ceiling->value / scale) : QJsonValue(QJsonValue::Null);
}

} // namespace

QJsonObject supplyObject(int address, const supply::Row *row, const QJsonObject &ceilings)
{
    QJsonObject object;
    if (row) {
        object = QJsonDocument::fromJson(supply::RowWriter::jsonLine(*row, false)).object();
    } else {
        for (const QString &key : supply::RowWriter::csvHeader(false).split(QLatin1Char(','))) {
            object.insert(key, QJsonValue::Null);
        }
        object.insert(QStringLiteral("address"), address);
    }
    object.insert(QStringLiteral("name"), QStringLiteral("address %1").arg(address));
    object.insert(QStringLiteral("ceilings"), ceilings);
    return object;
}

struct EngineBench::Job {
    std::function<void()> run;
    Answer answer;
    bool cancellable = true; // an all-off runs to its end
};

EngineBench::EngineBench(supply::Client &client, const QString &lineName,
                         std::vector<std::uint8_t> addresses)
    : m_client(client), m_line(lineName), m_addresses(std::move(addresses))
{
    m_pollTimer.setSingleShot(true);
    QObject::connect(&m_pollTimer, &QTimer::timeout, [this] { poll(); });
}

EngineBench::~EngineBench()
{
    *m_alive = false;
    if (m_write) {
        m_write->cancel();
    }
}

QString EngineBench::start()
{
    const QString folder = m_folder.make();
    if (!folder.isEmpty()) {
        return folder;
    }
    const QString why = m_record.open(recordPath(), supply::RowWriter::Existing::Overwrite);
    if (!why.isEmpty()) {
        return why;
    }
    poll();
    return {};
}

void EngineBench::stop()
{
    m_stopped = true;
    m_pollTimer.stop();
    m_jobs.clear();
}

QString EngineBench::recordPath() const
{
    return m_folder.filePath(QStringLiteral("record.csv"));
}

QJsonObject EngineBench::ceilings(std::uint8_t address) const
{
    const supply::CeilingRegistry &registry = m_client.ceilings();
    const auto volts = registry.tightest(address, supply::CeilingKind::Voltage);
    const auto amps = registry.tightest(address, supply::CeilingKind::Current);
    const auto watts = registry.tightest(address, supply::CeilingKind::Power);
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

void EngineBench::poll()
{
    if (m_stopped || m_polling || m_addresses.empty()) {
        return;
    }
    if (m_next == 0) {
        m_roundStart = std::chrono::steady_clock::now();
    }
    m_polling = true;
    supply::takeReading(m_client, m_rows, m_addresses[m_next],
                        [this, alive = m_alive](const supply::Reading &reading) {
                            if (*alive) {
                                m_polling = false;
                                took(reading);
                            }
                        });
}

void EngineBench::took(const supply::Reading &reading)
{
    if (reading.failure.error != supply::Error::Interrupted) {
        keep(reading.row);
    }
    m_next = (m_next + 1) % m_addresses.size();
    if (m_stopped) {
        return;
    }
    if (reading.failure.error == supply::Error::Port ||
        reading.failure.error == supply::Error::Interrupted) {
        m_pollTimer.start(kPortRetry);
        return;
    }
    if (m_next == 0) {
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - m_roundStart);
        m_pollTimer.start(std::max(std::chrono::milliseconds(0), kPollInterval - spent));
        return;
    }
    poll();
}

void EngineBench::keep(const supply::Row &row)
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
}

void EngineBench::enqueue(std::unique_ptr<Job> job)
{
    if (m_stopped) {
        job->answer(failed(supply::Error::Interrupted, QStringLiteral("the server is stopping")));
        return;
    }
    m_jobs.push_back(std::move(job));
    if (!m_current) {
        runNext();
    }
}

void EngineBench::runNext()
{
    if (m_current || m_jobs.empty()) {
        return;
    }
    m_current = std::move(m_jobs.front());
    m_jobs.pop_front();
    m_current->run();
}

void EngineBench::finishJob(const Outcome &outcome)
{
    std::unique_ptr<Job> job = std::move(m_current);
    m_write.reset();
    if (job) {
        job->answer(outcome);
    }
    runNext();
}

void EngineBench::write(std::uint8_t address, std::vector<protocol::Frame> requests,
                        supply::Confirms confirms)
{
    // Refused before anything goes out, all of it or none.
    for (const protocol::Frame &request : requests) {
        const auto why = m_client.ceilings().refusal(request, m_line.toStdString());
        if (why) {
            finishJob(failed(supply::Error::Refused, QString::fromStdString(*why)));
            return;
        }
    }
    supply::WriteCallbacks callbacks;
    callbacks.readBack = [this, alive = m_alive](const supply::Reading &reading) {
        if (*alive && reading.failure.error != supply::Error::Interrupted) {
            keep(reading.row);
        }
    };
    callbacks.done = [this, alive = m_alive, address](const supply::WriteResult &w) {
        if (!*alive) {
            return;
        }
        if (w.confirmed) {
            finishJob({200, QJsonObject{{QStringLiteral("reading"), supply(address)}}});
        } else if (w.failure.error == supply::Error::Refused) {
            finishJob(failed(w.failure.error, w.problem.isEmpty() ? w.failure.detail : w.problem));
        } else {
            finishJob(
                failed(w.failure ? w.failure.error : supply::Error::NotConfirmed, failureText(w)));
        }
    };
    m_write =
        supply::confirmedWrite(std::make_shared<supply::ClientWritePath>(m_client, m_rows),
                               std::move(requests), std::move(confirms), std::move(callbacks));
}

QString EngineBench::failureText(const supply::WriteResult &w) const
{
    if (w.failure.error == supply::Error::Port) {
        return failureCause(w);
    }
    return QStringLiteral("not confirmed: %1").arg(failureCause(w));
}

QString EngineBench::failureCause(const supply::WriteResult &w) const
{
    if (w.failure.error == supply::Error::Port) {
        return m_line + QStringLiteral(": the device is gone");
    }
    return w.problem.isEmpty() ? w.failure.text() : w.problem;
}

void EngineBench::set(std::uint8_t address, std::optional<std::uint16_t> voltage,
                      std::optional<std::uint16_t> current, Answer answer)
{
    auto job = std::make_unique<Job>();
    job->answer = std::move(answer);
    job->run = [this, address, voltage, current] {
        std::vector<protocol::Frame> requests;
        std::vector<supply::Confirms> checks;
        if (voltage) {
            requests.push_back(supply::writeRequest(address, supply::Target::Voltage, *voltage));
            checks.push_back(supply::confirmsWrite(supply::Target::Voltage, *voltage));
        }
        if (current) {
            requests.push_back(supply::writeRequest(address, supply::Target::Current, *current));
            checks.push_back(supply::confirmsWrite(supply::Target::Current, *current));
        }
        write(address, std::move(requests), [checks](const protocol::StatusReading &status) {
            for (const auto &check : checks) {
                if (!check(status)) {
                    return false;
                }
            }
            return true;
        });
    };
    enqueue(std::move(job));
}

void EngineBench::output(std::uint8_t address, bool on, Answer answer)
{
    auto job = std::make_unique<Job>();
    job->answer = std::move(answer);
    job->run = [this, address, on] {
        write(address, {supply::writeRequest(address, supply::Target::Output, on ? 1 : 0)},
              supply::confirmsWrite(supply::Target::Output, on ? 1 : 0));
    };
    enqueue(std::move(job));
}

void EngineBench::allOff(Answer answer)
{
    const Outcome dropped =
        error(409, QStringLiteral("dropped: every output was switched off before it was sent"),
              supply::Error::Interrupted);
    for (const auto &job : m_jobs) {
        job->answer(dropped);
    }
    m_jobs.clear();
    if (m_current && m_current->cancellable) {
        // A write on the line stops where it is; its supply is switched off next.
        if (m_write) {
            m_write->cancel();
            m_write.reset();
        }
        std::unique_ptr<Job> job = std::move(m_current);
        job->answer(error(409, QStringLiteral("stopped: every output is being switched off"),
                          supply::Error::Interrupted));
    }
    auto job = std::make_unique<Job>();
    job->answer = std::move(answer);
    job->cancellable = false;
    job->run = [this] {
        switchOffFrom(0, std::make_shared<QJsonArray>(), std::make_shared<QJsonArray>());
    };
    enqueue(std::move(job));
}

void EngineBench::switchOffFrom(std::size_t index, std::shared_ptr<QJsonArray> off,
                                std::shared_ptr<QJsonArray> failed)
{
    if (index == m_addresses.size()) {
        finishJob(
            {200, QJsonObject{{QStringLiteral("off"), *off}, {QStringLiteral("failed"), *failed}}});
        return;
    }
    const std::uint8_t address = m_addresses[index];
    supply::WriteCallbacks callbacks;
    callbacks.readBack = [this, alive = m_alive](const supply::Reading &reading) {
        if (*alive && reading.failure.error != supply::Error::Interrupted) {
            keep(reading.row);
        }
    };
    callbacks.done = [this, alive = m_alive, index, address, off,
                      failed](const supply::WriteResult &w) {
        if (!*alive) {
            return;
        }
        if (w.confirmed) {
            off->append(address);
        } else {
            // The list itself says "not confirmed off"; each entry says why.
            failed->append(QJsonObject{
                {QStringLiteral("address"), address},
                {QStringLiteral("error"), failureCause(w)},
                {QStringLiteral("failure"),
                 supply::errorWord(w.failure ? w.failure.error : supply::Error::NotConfirmed)}});
        }
        switchOffFrom(index + 1, off, failed);
    };
    supply::switchOff(m_client, m_rows, address, std::move(callbacks));
}

} // namespace web
