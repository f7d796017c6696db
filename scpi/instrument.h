#pragma once

#include "engine/ceilingregistry.h"
#include "protocol/frames.h"
#include "protocol/reading.h"
#include "scpi/parser.h"
#include "scpi/status.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The supply as a SCPI instrument: its command table and what each command does,
// over an asynchronous link to the supplies. Plain C++17; the socket server and
// the link to the engine live with the program.
namespace scpi {

// Why a call to the line brought no reading, as far as the instrument tells
// failures apart; the detail says the rest, for people.
enum class LinkFault {
    None,         // the reading is there
    Line,         // no good reply: silence, a bad or cut-off frame, an exception, a stop
    Gone,         // the port went away
    Refused,      // a ceiling a program on the line holds refused the write; nothing was sent
    NotConfirmed, // the write went out, but its read-back showed another value
};

// The SCPI error a call that failed for `fault` queues: -221 for a refusal by a
// ceiling, -240 for the others; 0 for none.
int errorNumber(LinkFault fault);

// What the instrument needs of the line. Every call finishes by calling `done`
// exactly once, at once or later; calls never overlap (the instrument waits for
// each one to finish).
class SupplyLink {
public:
    virtual ~SupplyLink() = default;

    // A reading, or why there is none.
    struct Result {
        std::optional<protocol::StatusReading> reading;
        LinkFault fault = LinkFault::None;
        // For people: "timeout", "COM3: the device is gone", the read-back that
        // differs, or the ceiling that refused and its holder.
        std::string detail;

        static Result of(const protocol::StatusReading &reading) { return {reading, {}, {}}; }
        // A call that brought no reading failed, even one that names no fault.
        static Result failed(LinkFault fault, std::string detail)
        {
            return {std::nullopt, fault == LinkFault::None ? LinkFault::Line : fault,
                    std::move(detail)};
        }
    };
    using Done = std::function<void(const Result &)>;

    virtual void readStatus(std::uint8_t address, Done done) = 0;
    // Confirmed writes: `done` gets the read-back reading that confirms the value.
    virtual void setVoltage(std::uint8_t address, std::uint16_t code, Done done) = 0;
    virtual void setCurrent(std::uint8_t address, std::uint16_t code, Done done) = 0;
    virtual void setOutput(std::uint8_t address, bool on, Done done) = 0;
    // Every output of `addresses` off, confirmed, before whatever waits for the
    // line: writes that wait are dropped and the one under way stops after its
    // request on the line. `done` gets the supplies not confirmed off, each with
    // why ("timeout"), in the order of `addresses`.
    using AllOffDone = std::function<void(std::vector<std::pair<std::uint8_t, std::string>>)>;
    virtual void allOff(std::vector<std::uint8_t> addresses, AllOffDone done) = 0;
    // The tightest ceiling of `kind` that any program on the line holds on
    // `address`, in counts; nullopt when none is held (or the link keeps none).
    virtual std::optional<int> lineCeiling(std::uint8_t address, engine::CeilingKind kind) const
    {
        (void)address;
        (void)kind;
        return std::nullopt;
    }
    // The instrument's ceilings on a supply (counts of 10 mV, 1 mA and 10 mW), for
    // every program on the line to be held to; the largest values hold nothing. A
    // set value above one is refused by the line, as one above another program's.
    virtual void holdCeilings(std::uint8_t address, std::uint16_t voltage, std::uint16_t current,
                              std::uint16_t power)
    {
        (void)address;
        (void)voltage;
        (void)current;
        (void)power;
    }
};

// QUEStionable condition bits: a tripped voltage ceiling, the current bit for
// the CC mode or a tripped current ceiling, and a tripped power ceiling.
namespace ques {
constexpr std::uint16_t kVoltage = 0x0001;
constexpr std::uint16_t kCurrent = 0x0002;
constexpr std::uint16_t kPower = 0x0008;
} // namespace ques
// OPERation condition bits: the regulation mode and the output switch.
namespace oper {
constexpr std::uint16_t kConstantVoltage = 0x0100;
constexpr std::uint16_t kOutputOn = 0x0200;
constexpr std::uint16_t kConstantCurrent = 0x0400;
} // namespace oper

// Device-specific errors queued when a ceiling trips.
constexpr int kVoltageTripped = 301;
constexpr int kCurrentTripped = 302;
constexpr int kPowerTripped = 303;

// The largest power ceiling, in counts of 10 mW: the largest set voltage at the
// largest set current.
constexpr int kLargestPowerCode =
    protocol::kLargestVoltageCode * protocol::kLargestCurrentCode / 1000;

// One client: its error queue and registers, its lines waiting their turn, the
// channel it has selected.
class Session {
public:
    using Send = std::function<void(const std::string &)>;

    Status status;
    std::size_t waitingLines() const { return m_lines.size(); }
    bool working() const { return m_inLine || !m_lines.empty(); }
    // The channel a header without a suffix addresses, from 0.
    std::size_t selected() const { return m_selected; }
    void select(std::size_t channel) { m_selected = channel; }

private:
    friend class Instrument;
    friend struct Call;

    // A line, or an error that stands in its place (a line that was too long).
    struct Line {
        int error = err::kNone;
        std::string text; // the line, or the error's detail
    };

    Send m_send;
    std::function<bool()> m_ready;
    std::function<void()> m_lineDone;
    bool m_closed = false;
    std::size_t m_selected = 0; // index into the instrument's channels
    std::deque<Line> m_lines;
    // The line being carried out.
    bool m_inLine = false;
    std::vector<Item> m_items;
    std::size_t m_next = 0;
    std::vector<std::string> m_answers;
    // Readings taken during this line, by channel: one line measuring several
    // quantities asks the supply once.
    std::map<std::size_t, protocol::StatusReading> m_readings;
};

struct InstrumentInfo {
    std::string portName; // "COM3"
    std::vector<std::uint8_t> addresses;
    std::string version;
};

// Carries out the clients' commands one at a time, in turn: each pass gives the
// next client with work one command, so no client waits more than one command of
// each other client, however much another sends.
class Instrument {
public:
    Instrument(SupplyLink &link, InstrumentInfo info);
    ~Instrument();
    Instrument(const Instrument &) = delete;
    Instrument &operator=(const Instrument &) = delete;

    // A new client. `send` writes an answer line (with its "\n"); `ready` says
    // whether the client may be served now (false while its answers pile up);
    // `lineDone` is called after each of its lines has been carried out and
    // answered, or refused.
    std::shared_ptr<Session> open(Session::Send send, std::function<bool()> ready = {},
                                  std::function<void()> lineDone = {});
    // The client has gone: its waiting lines are dropped; a command in progress
    // finishes on the line, and its answer goes nowhere.
    void close(const std::shared_ptr<Session> &session);

    // A line without its terminator.
    void submit(Session &session, std::string line);
    // An error in place of a line (-223 for one too long, -363 for one that found
    // no room), queued when its turn comes.
    void submitError(Session &session, int error, std::string detail);
    // Serves whoever may be served; call when a client becomes ready again.
    void pump();
    // A command is on the line.
    bool busy() const { return m_busy; }

    // Switches every output off through the link's all-off, then calls `done`
    // with the failures ("address 5: timeout").
    void switchAllOff(std::function<void(std::vector<std::string>)> done);

    // The ceilings of the supply at `address`, in counts of 10 mV, 1 mA and 10 mW
    // (VOLTage:PROTection, CURRent:PROTection and POWer:PROTection); nullopt for
    // one not served.
    struct Ceilings {
        std::uint16_t voltage = 0;
        std::uint16_t current = 0;
        std::uint16_t power = 0;
    };
    std::optional<Ceilings> ceilings(std::uint8_t address) const;

    static const CommandTable &table();

private:
    using Continue = std::function<void(bool ok)>;
    using ReadingDone = std::function<void(const protocol::StatusReading *)>;

    friend struct Call;
    // A reading as it was taken, and as it is after what it set off (a tripped
    // ceiling switches the output off and reads again).
    using ReadingNoted = std::function<void(const protocol::StatusReading &taken,
                                            const protocol::StatusReading &latest)>;

    void runOne(const std::shared_ptr<Session> &session);
    void finishLine(Session &session);

    // A reading of `channel` no older than the line, or nullptr after queuing -240.
    void freshReading(const std::shared_ptr<Session> &session, std::size_t channel,
                      ReadingDone done);
    // Every reading passes here: conditions, events, ceilings (a trip switches off).
    void noteReading(std::size_t channel, const protocol::StatusReading &reading,
                     ReadingNoted then);
    void broadcastError(int code, const std::string &detail);
    void resetChannels(const std::shared_ptr<Session> &session, std::size_t index, bool ok,
                       Continue next);
    // *TST?: every channel is asked from `index` on; "0" when all of them answer.
    void selfTest(const std::shared_ptr<Session> &session, std::size_t index, bool failed,
                  Continue next);

    struct Channel {
        std::uint8_t address = 0;
        std::uint16_t voltageCeiling;
        std::uint16_t currentCeiling;
        std::uint16_t powerCeiling;
        bool voltageTripped = false;
        bool currentTripped = false;
        bool powerTripped = false;
        std::uint16_t questionable = 0;
        std::uint16_t operation = 0;
    };

    SupplyLink &m_link;
    InstrumentInfo m_info;
    std::vector<Channel> m_channels;
    std::vector<std::shared_ptr<Session>> m_sessions;
    std::size_t m_turn = 0;
    bool m_busy = false;
    bool m_pumping = false;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace scpi
