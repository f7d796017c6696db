#pragma once

#include "engine/session.h"
#include "records/operations.h"
#include "records/rowwriter.h"
#include "web/bench.h"
#include "web/recordfolder.h"

#include <QJsonArray>

#include <QObject>

#include <map>
#include <memory>

namespace engine {
class Client;
} // namespace engine

namespace web {

// The served supplies through the engine's session, which the server shares
// with its other faces: the session polls them in rounds, as fast as the line
// allows (a round at most every sessionSettings()' roundInterval),
// every reading is kept in a CSV record in a temporary folder (one a killed
// server left is removed), and writes go one at a time through the session's
// confirmed write, its all-off before them. A ceiling held on the line refuses
// a write before it goes out.
class EngineBench : public Bench {
public:
    EngineBench(engine::Session &session, engine::Client &client, const QString &lineName,
                std::vector<std::uint8_t> addresses);

    // The pace of the session the bench is to poll on.
    static engine::SessionSettings sessionSettings();
    ~EngineBench() override;

    // Opens the record (unless `keepRecord` is false: nothing downloads it) and
    // starts reading; empty on success, else why.
    QString start(bool keepRecord = true);
    // No more readings or writes; the writes waiting are answered as dropped.
    void stop();
    // A write is under way on the line.
    bool busy() const { return m_session.writing(m_caller); }

    std::vector<std::uint8_t> addresses() const override { return m_addresses; }
    QJsonObject supply(std::uint8_t address) const override;
    void set(std::uint8_t address, std::optional<std::uint16_t> voltage,
             std::optional<std::uint16_t> current, Answer answer) override;
    void output(std::uint8_t address, bool on, Answer answer) override;
    void allOff(Answer answer) override;
    QString recordPath() const override;

    // Called with each row as it is kept, good or failed, after the record and
    // `reading`: the one source of readings for whatever else publishes them.
    std::function<void(const records::Row &)> rowTaken;

private:
    void took(const engine::LineAnswer &answer);
    void keep(const records::Row &row);
    void write(std::uint8_t address, std::vector<protocol::Frame> requests,
               engine::Confirms confirms, Answer answer);
    QString failureText(const engine::WriteOutcome &w) const;
    // Why a write was not confirmed, without the words "not confirmed".
    QString failureCause(const engine::WriteOutcome &w) const;
    QJsonObject ceilings(std::uint8_t address) const;

    engine::Client &m_client;
    QString m_line;
    std::vector<std::uint8_t> m_addresses;
    records::RowMaker m_rows;
    std::map<std::uint8_t, records::Row> m_latest;
    RecordFolder m_folder;
    records::RowWriter m_record{records::RowWriter::Format::Csv};
    engine::Session &m_session;
    engine::Session::Caller m_caller = m_session.addCaller();
    bool m_stopped = false;
    bool m_recordFailed = false; // also: no record is kept
    bool m_switchingOff = false; // inside allOff(): the writes it ends were preempted
    // Callbacks of the engine check it: they may come after this is gone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

// The object of a supply: the row's keys as the log's JSON lines write them (all
// null before the first reading), then name and ceilings.
QJsonObject supplyObject(int address, const records::Row *row, const QJsonObject &ceilings);

} // namespace web
