#pragma once

#include "bus/busline.h"
#include "records/operations.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace bus {

using std::chrono::milliseconds;

// Reads the status of every listed address in turn, one request at a time, and
// sends the writes asked for between two reads, never two at once. An address
// whose read timed out is silent: it has cost its timeout once, and is asked
// again only once every kSilentEvery rounds until it answers, so that the others
// keep their rate. A round (every address once) takes at least the shortest
// round, so that a line that answers at once is not read flat out. Whatever is
// done with a reading or a write's end does not hold up the reads, even when it
// waits in an event loop of its own; a write it asks for goes out first.
class Poller : public QObject {
    Q_OBJECT
public:
    static constexpr int kSilentEvery = 4;
    static constexpr milliseconds kShortestRound{200};

    using WriteDone = std::function<void(const supply::WriteResult &)>;
    // Each listed address with how its switch-off ended, in list order.
    using OffResults = std::vector<std::pair<std::uint8_t, supply::WriteResult>>;

    explicit Poller(BusLine &line, QObject *parent = nullptr);
    ~Poller() override;

    void setAddresses(const std::vector<std::uint8_t> &addresses);
    const std::vector<std::uint8_t> &addresses() const { return m_addresses; }
    void setShortestRound(milliseconds shortest) { m_shortestRound = shortest; }

    // Reads start, or stop after the request on the line. Writes go out either way.
    void start();
    void stop();
    bool running() const { return m_running; }
    // A request is on the line.
    bool busy() const { return m_busy; }
    bool silent(std::uint8_t address) const;
    // A write is on the line or waits.
    bool writing() const { return m_writing || !m_writes.empty(); }
    long rounds() const { return m_rounds; }

    // Queues a confirmed write of `address`; `done` gets how it ended.
    void write(std::uint8_t address, supply::Target target, std::uint16_t value, WriteDone done);
    // Switches every listed output off, before anything else that waits: the
    // writes still queued are dropped (their `done` says so), so that none of
    // them switches an output on again after this. Returns how many were dropped.
    int allOutputsOff(std::function<void(const OffResults &)> done);

signals:
    // Every reading, those of the writes' read-backs too, in the order taken.
    void readingTaken(const supply::Reading &reading);
    // The last write that waited has ended.
    void writesDone();

private:
    struct Pending {
        std::uint8_t address;
        supply::Target target;
        std::uint16_t value;
        WriteDone done;
    };
    struct AddressState {
        int skips = 0; // rounds to leave it out before it is asked again
    };

    void next();
    void read(std::uint8_t address);
    void send(Pending pending);
    void goOnEvenIfHeldUp();
    // Notes how the read of an address fared; false for a reading that is none.
    bool note(const supply::Reading &reading);

    BusLine &m_line;
    std::vector<std::uint8_t> m_addresses;
    std::map<std::uint8_t, AddressState> m_states;
    std::deque<Pending> m_writes;
    milliseconds m_shortestRound = kShortestRound;
    QElapsedTimer m_roundClock;
    QTimer m_roundWait;
    std::size_t m_index = 0;
    long m_rounds = 0;
    bool m_running = false;
    bool m_busy = false;
    bool m_writing = false; // the request on the line is a write
    // Whether the object still exists, for the callbacks of requests on the line.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace bus
