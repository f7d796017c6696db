#pragma once

#include "control.h"
#include "rtu.h"
#include "supply.h"

#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace sim {

class ModbusSlave;
class PortLink;

using Clock = std::chrono::steady_clock;

// How the line between the program and the supplies keeps time.
struct LineOptions {
    // Bytes take no time on the line (the pseudo-terminal's own pace).
    bool instant = false;
    // From the end of a request to the start of its reply, plus up to `jitter`
    // more, spread evenly.
    std::chrono::microseconds latency{10000};
    std::chrono::microseconds jitter{0};
};

struct Options {
    int port = 1;
    std::string portDir;
    std::vector<int> addresses{1};
    Supply supply; // what every supply starts as
    LineOptions line;
    bool trace = false;
    std::string controlPath;
    bool readStdin = true;
};

// Time of one character on the line: a start bit, 8 data bits and a stop bit.
std::chrono::nanoseconds characterTime(int baud);

// The supplies on the pseudo-terminal, driven by Qt's event loop: socket
// notifiers for the port and the command channels, one precise timer for
// everything that is due later (bytes arriving and leaving at the line's pace,
// replies after their latency, a pause that ends a frame).
class Simulator {
public:
    Simulator(Options options, PortLink &link, ModbusSlave &slave);
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Prints the ready line and starts listening; `control` is the command
    // FIFO (-1 for none). The event loop does the rest; quit() ends it.
    void start(int control);

private:
    // Trace lines for bytes that carry no address (junk).
    static constexpr int kNoAddress = -1;

    // One byte from the program, with the time it takes on the line.
    struct Incoming {
        Clock::time_point start;
        Clock::time_point end; // when the supplies have it whole
        std::uint8_t byte;
        bool echoed = false;
    };
    // Bytes the supplies put on the line, one after the other from `ready` on.
    struct Outgoing {
        Clock::time_point ready;
        int address = 0; // of the supply that made them
        Bytes bytes;
        bool started = false;
        Clock::time_point start;
        std::size_t written = 0;
        bool lost = false;
    };

    void watchMaster();
    std::string plugCommand(bool plugIn);
    void trace(const char *kind, int address, const Bytes &bytes, Clock::time_point start,
               Clock::time_point end);
    void advance();
    Unit *unitAt(int address);
    void readMaster();
    void readCommands(QSocketNotifier *notifier, std::string &buffer, bool isStdin);
    void tick();
    void arrive(Clock::time_point horizon);
    void handle(const std::vector<RequestFramer::Piece> &pieces);
    void serve(Unit &unit, const Bytes &request, Clock::time_point end);
    void transmit(Clock::time_point horizon);
    void schedule();
    std::chrono::nanoseconds lineCharacterTime() const;
    std::chrono::microseconds latency();

    Options m_options;
    PortLink &m_link;
    ModbusSlave &m_slave;
    std::vector<Unit> m_units;
    LineFaults m_lineFaults;
    RequestFramer m_framer;
    std::chrono::nanoseconds m_charTime{0};
    std::deque<Incoming> m_incoming; // read, not yet whole at the supplies
    std::deque<Incoming> m_framing;  // in the framer, not yet cut into pieces
    std::deque<Outgoing> m_outgoing;
    Clock::time_point m_start;
    Clock::time_point m_lastAdvance;
    Clock::time_point m_lastArrival;
    Clock::time_point m_receiveFree;  // the end of the last byte from the program
    Clock::time_point m_transmitFree; // the end of the last byte from the supplies
    std::mt19937 m_random{22};        // a fixed seed: the same jitter on every run
    int m_timerFd = -1;               // a timerfd at the next thing due
    std::unique_ptr<QSocketNotifier> m_timerNotifier;
    std::unique_ptr<QSocketNotifier> m_masterNotifier;
    std::unique_ptr<QSocketNotifier> m_stdinNotifier;
    std::unique_ptr<QSocketNotifier> m_controlNotifier;
    std::string m_stdinBuffer;
    std::string m_controlBuffer;
};

} // namespace sim
