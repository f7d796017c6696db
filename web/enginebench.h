#pragma once

#include "records/operations.h"
#include "records/rowwriter.h"
#include "web/bench.h"
#include "web/recordfolder.h"

#include <QJsonArray>

#include <QObject>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>

namespace supply {
class Client;
}

namespace web {

// The served supplies through the engine: each is read in turn, as fast as the
// line allows (at most every kPollInterval), every reading is kept in a CSV
// record in a temporary folder (one a killed server left is removed), and writes
// go one at a time through the one confirmed write. A ceiling held on the line
// refuses a write before it goes out.
class EngineBench : public Bench {
public:
    EngineBench(supply::Client &client, const QString &lineName,
                std::vector<std::uint8_t> addresses);
    ~EngineBench() override;

    // Opens the record and starts reading; empty on success, else why.
    QString start();
    // No more readings or writes; the writes waiting are answered as dropped.
    void stop();
    // A write is under way on the line.
    bool busy() const { return m_current != nullptr; }

    std::vector<std::uint8_t> addresses() const override { return m_addresses; }
    QJsonObject supply(std::uint8_t address) const override;
    void set(std::uint8_t address, std::optional<std::uint16_t> voltage,
             std::optional<std::uint16_t> current, Answer answer) override;
    void output(std::uint8_t address, bool on, Answer answer) override;
    void allOff(Answer answer) override;
    QString recordPath() const override;

private:
    struct Job;
    void poll();
    void took(const supply::Reading &reading);
    void enqueue(std::unique_ptr<Job> job);
    void runNext();
    void keep(const supply::Row &row);
    void write(std::uint8_t address, std::vector<protocol::Frame> requests,
               supply::Confirms confirms);
    QString failureText(const supply::WriteResult &w) const;
    // Why a write was not confirmed, without the words "not confirmed".
    QString failureCause(const supply::WriteResult &w) const;
    void switchOffFrom(std::size_t index, std::shared_ptr<QJsonArray> off,
                       std::shared_ptr<QJsonArray> failed);
    void finishJob(const Outcome &outcome);
    QJsonObject ceilings(std::uint8_t address) const;

    supply::Client &m_client;
    QString m_line;
    std::vector<std::uint8_t> m_addresses;
    supply::RowMaker m_rows;
    std::map<std::uint8_t, supply::Row> m_latest;
    RecordFolder m_folder;
    supply::RowWriter m_record{supply::RowWriter::Format::Csv};
    QTimer m_pollTimer;
    std::size_t m_next = 0; // the address polled next
    std::chrono::steady_clock::time_point m_roundStart;
    bool m_polling = false;
    bool m_stopped = false;
    bool m_recordFailed = false;
    std::deque<std::unique_ptr<Job>> m_jobs;
    std::unique_ptr<Job> m_current;
    std::shared_ptr<supply::WriteHandle> m_write;
    // Callbacks of the engine check it: they may come after this is gone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

// The object of a supply: the row's keys as the log's JSON lines write them (all
// null before the first reading), then name and ceilings.
QJsonObject supplyObject(int address, const supply::Row *row, const QJsonObject &ceilings);

} // namespace web
