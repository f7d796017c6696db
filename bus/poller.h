#pragma once

#include "engine/session.h"
#include "records/operations.h"

#include <QObject>

#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace bus {

using std::chrono::milliseconds;

// The bus window's supplies on a session of their own: the status of every
// listed address is read in turn, one request at a time, and the writes asked
// for go out between two reads, never two at once. An address whose read timed
// out is silent: it has cost its timeout once, and is asked again only once
// every kSilentEvery rounds until it answers, so that the others keep their
// rate. A round (every address once) takes at least the shortest round, so that
// a line that answers at once is not read flat out. Whatever is done with a
// reading or a write's end does not hold up the reads, even when it waits in an
// event loop of its own; a write it asks for goes out first.
class Poller : public QObject {
    Q_OBJECT
public:
    static constexpr int kSilentEvery = 4;
    static constexpr milliseconds kShortestRound{200};

    using WriteDone = std::function<void(const records::WriteResult &)>;
    // Each listed address with how its switch-off ended, in list order.
    using OffResults = std::vector<std::pair<std::uint8_t, records::WriteResult>>;

    // Over `line`, which must outlive it. The rows' clock and the energy
    // counters start with it.
    explicit Poller(engine::SessionLine &line, QObject *parent = nullptr);
    ~Poller() override;

    void setAddresses(const std::vector<std::uint8_t> &addresses);
    const std::vector<std::uint8_t> &addresses() const { return m_addresses; }
    void setShortestRound(milliseconds shortest);

    // Reads start, or stop after the request on the line. Writes go out either way.
    void start();
    void stop();
    bool running() const { return m_running; }
    // A write or a switch-off of every output is on the line or waits.
    bool writing() const { return m_session.writing(m_caller); }

    // Queues a confirmed write of `address`; `done` gets how it ended.
    void write(std::uint8_t address, records::Target target, std::uint16_t value, WriteDone done);
    // Switches every listed output off, before anything else that waits: the
    // writes still queued are dropped and the one on the line stops after its
    // request (their `done` says so), so that none of them switches an output on
    // again after this. Returns how many were dropped before they went out.
    int allOutputsOff(std::function<void(const OffResults &)> done);

signals:
    // Every reading, those of the writes' read-backs too, in the order taken.
    void readingTaken(const records::Reading &reading);
    // The last write that waited has ended.
    void writesDone();

private:
    void taken(const engine::LineAnswer &answer);
    records::WriteResult ended(const engine::WriteOutcome &outcome);
    void tellIfDone();

    engine::Session m_session;
    engine::Session::Caller m_caller = m_session.addCaller();
    records::RowMaker m_rows;
    std::vector<std::uint8_t> m_addresses;
    bool m_running = false;
    bool m_switchingOff = false; // inside allOutputsOff(): the writes it ends are its
    int m_dropped = 0;
};

} // namespace bus
