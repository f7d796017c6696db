#pragma once

#include "engine/clock.h"
#include "engine/failure.h"
#include "engine/roundslots.h"
#include "protocol/frames.h"
#include "protocol/reading.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace engine {

class Client;

// How one request to the line fared, as the session hands it on.
struct LineAnswer {
    std::uint8_t address = 0;
    Failure failure;
    std::optional<protocol::StatusReading> reading; // a good status reading, decoded
    QByteArray bytes;                               // the reply as it came, for messages
    // A whole, well-formed reply held words no supply reports (failure: Undecoded).
    bool undecoded = false;
    // When the request went out on the monotonic clock; a default time_point
    // when it never did.
    std::chrono::steady_clock::time_point sentTime;
    bool wentOut() const { return sentTime != std::chrono::steady_clock::time_point{}; }
    bool good() const { return reading.has_value(); }
};

// A request relayed as another program sent it (sessionrelay.cpp): any function,
// for one unit, answered with the reply's bytes as they came.
struct RelayRequest {
    std::uint8_t unit = 0;
    std::vector<std::uint8_t> pdu; // the function code first; no address, no CRC
    // The relaying program's own wait for the reply, where it is not the line's.
    std::optional<std::chrono::milliseconds> timeout;
    std::optional<std::chrono::milliseconds> firstByte;
    // It may change a supply: an all-off drops it while it waits.
    bool writes() const;
};

// What the session needs of a line: one status read and one register write at a
// time, each answered once and never from inside the call.
class SessionLine {
public:
    using Done = std::function<void(const LineAnswer &)>;
    virtual ~SessionLine() = default;
    virtual void readStatus(std::uint8_t address, Done done) = 0;
    virtual void write(const protocol::Frame &request, Done done) = 0;
    // Sends a relayed request; `sent` when it goes on the line, then `done` once.
    // A line that relays nothing answers Port at once.
    virtual void relay(const RelayRequest &request, std::function<void()> sent, Done done);
    // The relay handed last, not yet on the line, is never sent nor answered.
    virtual void abortRelay() {}
};

// The line of a Client: its requests keep the line's rules and its ceilings.
class ClientLine : public SessionLine {
public:
    explicit ClientLine(Client &client) : m_client(client) {}
    void readStatus(std::uint8_t address, Done done) override;
    void write(const protocol::Frame &request, Done done) override;
    void relay(const RelayRequest &request, std::function<void()> sent, Done done) override;
    void abortRelay() override;

private:
    Client &m_client;
    int m_relayCaller = 0;     // the client's caller of relays, 0 before the first
    QPointer<QObject> m_relay; // the relay handed last, until it is answered
};

// A single-shot timer: a QTimer in the programs, one the test fires in tests.
class SessionTimer {
public:
    virtual ~SessionTimer() = default;
    virtual void start(std::chrono::milliseconds after, std::function<void()> fire) = 0;
    virtual void stop() = 0;
};
// `precise`: a timer that keeps to the millisecond, for rounds on fixed slots.
std::unique_ptr<SessionTimer> makeQtSessionTimer(bool precise = false);

// What a read-back must show for a write to count.
using Confirms = std::function<bool(const protocol::StatusReading &)>;

struct SessionSettings {
    // A round of polling starts at most this often; a slower line sets the pace.
    std::chrono::milliseconds roundInterval{100};
    // After a port that went away or a stop, polling waits this long.
    std::chrono::milliseconds portRetry{1000};
    // A confirmed write's attempts, each its writes and then its read-backs.
    int writeAttempts = 2;
    // Read-backs an attempt takes before it counts as not confirmed.
    int readingsPerAttempt = 1;
    // A polled address whose status read timed out is left out of this many
    // rounds before it is asked again, so that one silent supply does not cost
    // every round its timeout; 0 asks it every round. Any other answer ends it.
    int silentRounds = 0;
    // Rounds keep to fixed slots of roundInterval, counted from when the first
    // round's first request went out (RoundSlots): a late round takes the
    // latest slot that has come and gives up those before it. Otherwise a
    // round starts roundInterval after the one before it began, or at once.
    bool fixedSlots = false;
};

// A round of polling as the session tells a caller that polls (watchRounds).
struct RoundNotice {
    bool started = true;           // a round starts now; else it has ended
    EngineClock::time_point at;    // now
    EngineClock::time_point began; // when the round began (with fixed slots,
                                   // the first round: when its request went out)
    RoundSlots::Taken slot;        // fixed slots: the round's slot and those given up
};

// How a confirmed write ended. failure is None when the read-back showed what
// was written; NotConfirmed when the read-backs came but showed something else;
// else the failure of the last write or read-back (Interrupted on a stop, a
// cancel or an all-off).
struct WriteOutcome {
    Failure failure;
    // Why it was not confirmed, for messages: "timeout", "exception 2", "the
    // read-back differs", "no read-back (timeout)", a refusal's text.
    QString problem;
    std::optional<protocol::StatusReading> readBack; // the last good read-back
    // The request whose write failed; none when the read-back failed or differed.
    std::optional<std::size_t> failedWrite;
    QByteArray bytes;       // what came back where it failed
    bool undecoded = false; // the read-back held words no supply reports
    bool sent = false;      // a write of it went out on the line (or was on it at a stop)
    bool started = false;   // it had begun; false: dropped while it waited
    bool confirmed() const { return !failure; }
};

struct AddressOutcome; // engine/sessionaddress.h

struct WriteWatch {
    std::function<void(const LineAnswer &)> readBack;     // every read-back (may be empty)
    std::function<void(const QString &problem)> retrying; // before a second attempt
    std::function<void(const WriteOutcome &)> done;
};

// An all-off: the supplies confirmed off, and those that were not with why.
struct AllOffOutcome {
    std::vector<std::uint8_t> off;
    std::vector<std::pair<std::uint8_t, WriteOutcome>> failed;
    // None when every supply was confirmed off, else NotConfirmed naming them.
    Failure failure() const;
};

// The one way every face drives its supplies: a queue of requests to the line,
// one at a time, in this order of priority:
//   1. an all-off: it drops the confirmed writes that wait (Interrupted, not
//      started), stops the one under way after its request on the line, and
//      switches every supply it is given off, confirmed, one after another;
//   2. the steps of the confirmed write under way (writes run one at a time);
//   3. reads callers asked for: a read of an address that already waits takes
//      its callers too, so that one request answers them all;
//   4. polling: the addresses every caller polls, in rounds (each address once
//      a round, in the order callers named them, a silent one left out of the
//      settings' silentRounds), a round starting at most every roundInterval,
//      even a round that asks no one. Whatever waits above goes out between two
//      polls.
// Requests relayed for other programs (relay()) take turns with 3 and with 4.
// Each caller's work ends on its own: cancel() ends one caller's reads and
// writes with Interrupted and stops its polling, and leaves the others'. Every
// request ends in exactly one answer with a Failure value. Whoever is told of an
// answer may wait in an event loop of its own: the line goes on from that loop.
class Session : public QObject {
    Q_OBJECT
public:
    using Caller = int;

    // Over `line`, timing rounds by `clock` and waiting with `timer`; both line
    // and clock must outlive it.
    Session(SessionLine &line, const EngineClock &clock, std::unique_ptr<SessionTimer> timer,
            SessionSettings settings = {}, QObject *parent = nullptr);
    // Over a client's line, on its clock, with a QTimer.
    explicit Session(Client &client, SessionSettings settings = {}, QObject *parent = nullptr);
    ~Session() override;

    const SessionSettings &settings() const { return m_settings; }
    // New settings take effect with the next round and the next write.
    void setSettings(const SessionSettings &settings) { m_settings = settings; }
    Caller addCaller() { return ++m_lastCaller; }

    // Polls `addresses` for `caller` (an empty list stops it): each reading of
    // one goes to `reading`. A caller polls one list; a new one replaces it, its
    // new addresses joining the round under way at its end.
    void poll(Caller caller, std::vector<std::uint8_t> addresses,
              std::function<void(const LineAnswer &)> reading);
    // Tells `notice` of every round while the caller polls: as the round
    // starts, before its first request, and as it ends, before anything else
    // goes out. From `notice` the caller may stop polling, write or switch off.
    void watchRounds(Caller caller, std::function<void(const RoundNotice &)> notice);
    // With fixed slots, where slot 0 lies; a default time_point before the
    // first round.
    EngineClock::time_point slotOrigin() const { return m_slots.origin(); }
    // One status reading of `address`.
    void read(Caller caller, std::uint8_t address, std::function<void(const LineAnswer &)> done);
    // Sends `requests` (register writes, all to one address) one after the
    // other, then reads the status back until it shows `confirms`; an attempt
    // that fails is made again, up to the settings' attempts. A stop, a lost
    // port and a refusal by a ceiling end it at once.
    void write(Caller caller, std::vector<protocol::Frame> requests, Confirms confirms,
               WriteWatch watch);
    // Switches every one of `addresses` off, confirmed (see above). It is not
    // cancelled; `readBack` sees each read-back.
    void allOff(Caller caller, std::vector<std::uint8_t> addresses,
                std::function<void(const AllOffOutcome &)> done,
                std::function<void(const LineAnswer &)> readBack = {});
    // Moves the supply at `from` to `to`, ranked and ended as a confirmed write
    // (engine/sessionaddress.h says how it is proven).
    void changeAddress(Caller caller, std::uint8_t from, std::uint8_t to,
                       std::function<void(const AddressOutcome &)> done);
    // Relays `request` for `caller` (sessionrelay.cpp), after the all-off and
    // the confirmed write under way, taking turns with reads and with polls; an
    // all-off drops a relayed write that waits (Interrupted) and holds one that
    // comes while it runs; a cancel ends every relay of the caller.
    // `sent` when it goes on the line, `done` once. The number is for abortRelay.
    int relay(Caller caller, RelayRequest request, std::function<void()> sent,
              std::function<void(const LineAnswer &)> done);
    // Withdraws a relay that has not gone on the line: it never goes and is never
    // answered. False for one on the line (or answered): it is answered as usual.
    bool abortRelay(int relay);

    // Ends the caller's waiting reads and its writes (the one under way after its
    // request on the line) with Interrupted, called from inside this call, and
    // stops its polling. An all-off it asked for goes on.
    void cancel(Caller caller);
    // The same, but the caller's write under way goes on to its end.
    void cancelWaiting(Caller caller);

    // A confirmed write or all-off of the caller waits or is under way.
    bool writing(Caller caller) const;
    // Nothing is on the line or waits for it (polling aside).
    bool idle() const;
    // A polled address is left out of rounds for its silence.
    bool silent(std::uint8_t address) const;

private:
    enum class Rank { AllOff, Write, Read, Poll };
    struct Step;
    struct WriteJob;
    struct AllOffJob;
    struct AddressJob;
    struct RelayJob;
    using Listener = std::function<void(const LineAnswer &)>;

    void enqueue(std::unique_ptr<Step> step);
    void pump();
    std::unique_ptr<Step> pollStep();
    // Moves the round past the addresses not to ask now; true when one is left.
    bool passOver();
    bool polledByAny(std::uint8_t address) const;
    void noteSilence(const LineAnswer &answer);
    void forgetUnpolled();
    void goOnEvenIfHeldUp();
    void answered(const LineAnswer &answer);
    std::vector<Listener> polled(const LineAnswer &answer);
    void waitForRound(std::chrono::milliseconds wait);
    // The rounds' pace and notices (sessionrounds.cpp).
    std::chrono::milliseconds untilNextRound() const;
    bool nextRoundDue() const;
    void roundBegins();
    void tellRound(const RoundNotice &notice);
    void alignSlots(const Step &step, const LineAnswer &answer);

    // The confirmed write (sessionwrite.cpp).
    void startWrite();
    void attempt(const std::shared_ptr<WriteJob> &job);
    void sendNext(const std::shared_ptr<WriteJob> &job);
    void written(const std::shared_ptr<WriteJob> &job, const LineAnswer &answer);
    void readBack(const std::shared_ptr<WriteJob> &job);
    void readBackCame(const std::shared_ptr<WriteJob> &job, const LineAnswer &answer);
    void attemptFailed(const std::shared_ptr<WriteJob> &job, const QString &problem);
    void finish(std::shared_ptr<WriteJob> job);
    // Ends a write that waits or is under way with `failure`; returns its call.
    std::function<void()> stop(std::shared_ptr<WriteJob> job, const Failure &failure, bool started);
    // The address change (sessionaddress.cpp): its next step, given what the
    // last one heard (none at its start).
    void addressNext(const std::shared_ptr<WriteJob> &job, const LineAnswer *heard);
    void startAllOff();
    void allOffNext();
    void cancel(Caller caller, bool underWay);

    // Relays (sessionrelay.cpp). They take turns: with the callers' reads (a
    // relay goes next after anything but a relay) and with polls (a poll that is
    // due goes between two relays), so that relays never stop the rounds.
    std::unique_ptr<Step> takeRelay();
    std::unique_ptr<Step> relayInTurn();
    std::unique_ptr<Step> relayOrPoll();
    void sendRelay(const std::shared_ptr<RelayJob> &job, SessionLine::Done done);
    // Drops the waiting relays of `caller` (of every caller when none is given;
    // only writes with `writesOnly`), their answers added to `calls`.
    void dropRelays(std::vector<std::function<void()>> &calls, const Failure &failure,
                    std::optional<Caller> caller, bool writesOnly);

    std::unique_ptr<SessionLine> m_ownLine; // before m_line, which may refer to it
    SessionLine &m_line;
    const EngineClock &m_clock;
    std::unique_ptr<SessionTimer> m_timer;
    SessionSettings m_settings;
    Caller m_lastCaller = 0;

    std::deque<std::unique_ptr<Step>> m_steps[3]; // AllOff, Write, Read; polls are made
    std::unique_ptr<Step> m_inFlight;
    bool m_pumping = false;

    struct Poller {
        std::vector<std::uint8_t> addresses;
        Listener reading;
    };
    std::map<Caller, Poller> m_pollers;
    std::vector<std::uint8_t> m_round; // this round's addresses
    std::size_t m_roundNext = 0;
    EngineClock::time_point m_roundStart;
    bool m_pollWaiting = false;           // the timer holds the next round or a retry
    std::map<std::uint8_t, int> m_silent; // rounds each silent address is left out of
    bool m_goOnPosted = false;
    std::map<Caller, std::function<void(const RoundNotice &)>> m_roundWatchers;
    RoundSlots m_slots{m_settings.roundInterval};
    bool m_slotsStarted = false;
    bool m_slotsAligned = false;

    std::deque<std::shared_ptr<WriteJob>> m_writes;
    std::shared_ptr<WriteJob> m_write; // under way
    std::deque<std::unique_ptr<AllOffJob>> m_allOffs;
    std::deque<std::shared_ptr<RelayJob>> m_relays; // waiting
    int m_lastRelay = 0;
    bool m_relayedLast = false; // the last request sent was a relay
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace engine
