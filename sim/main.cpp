// vantel-sim: a 60 V / 3 A bench supply answering Modbus RTU on a pseudo-terminal.

#include "control.h"
#include "faults.h"
#include "modbusslave.h"
#include "portlink.h"
#include "rtu.h"
#include "supply.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A request whose length its function code does not tell ends after this much
// quiet; leftover junk is dropped then too. Well above 3.5 characters at 9600
// baud (4 ms), so a scheduler hiccup does not split a request.
constexpr milliseconds kFrameGap{20};
// How long to leave the line alone after the pseudo-terminal reports an error,
// so that a persistent error does not spin the loop.
constexpr milliseconds kErrorBackoff{100};

const char *const kUsage =
    "usage: vantel-sim [options]\n"
    "  --port N|COMn          port name to publish (default COM1)\n"
    "  --port-dir DIR         folder for the link (default $VANTEL_PORT_DIR,\n"
    "                         else ~/.config/vantel/ports)\n"
    "  --address LIST         slave addresses, 1 to 247, e.g. 1,3,5-7: one supply\n"
    "                         at each (default 1)\n"
    "  --voltage VOLTS        voltage set value (default 5.00)\n"
    "  --current AMPS         current set value (default 1.000)\n"
    "  --output on|off        output switch (default off)\n"
    "  --load OHMS|open|battery:V0,R[,MAH]\n"
    "                         resistive load (default 10), or a battery at V0 volts\n"
    "                         behind R ohms taking MAH mAh per volt (default 100)\n"
    "  --actual-voltage VOLTS report this actual voltage instead of the computed one\n"
    "  --actual-current AMPS  report this actual current instead of the computed one\n"
    "  --mode cv|cc|oc|N      report this regulation mode instead of the computed one\n"
    "  --trace                print every frame received and sent\n"
    "  --control PATH         also read commands from the FIFO PATH (created if missing)\n"
    "  --no-stdin             do not read commands from standard input\n"
    "Commands come one per line on standard input; end of input ends the simulator.\n";

volatile std::sig_atomic_t g_stop = 0;
int g_wakeWrite = -1;

void onSignal(int)
{
    g_stop = 1;
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = ::write(g_wakeWrite, &byte, 1);
}

struct Options {
    int port = 1;
    std::string portDir;
    std::vector<int> addresses{1};
    sim::Supply supply; // what every supply starts as
    bool trace = false;
    std::string controlPath;
    bool readStdin = true;
};

bool parsePort(const std::string &text, int &port)
{
    std::string digits = text;
    if (digits.rfind("COM", 0) == 0 || digits.rfind("com", 0) == 0) {
        digits = digits.substr(3);
    }
    if (digits.empty() || digits.size() > 3 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    port = std::atoi(digits.c_str());
    return port >= 1 && port <= 255;
}

// Options go through the same "set" commands as the control channel.
bool parseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        const std::size_t equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        auto takeValue = [&]() {
            if (equals == std::string::npos) {
                if (i + 1 >= argc) {
                    return false;
                }
                value = argv[++i];
            }
            return true;
        };
        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(sim::kCommandHelp, stdout);
            std::exit(0);
        } else if (name == "--trace") {
            options.trace = true;
        } else if (name == "--no-stdin") {
            options.readStdin = false;
        } else if (!takeValue()) {
            std::fprintf(stderr, "vantel-sim: %s needs a value\n", name.c_str());
            return false;
        } else if (name == "--port") {
            if (!parsePort(value, options.port)) {
                std::fprintf(stderr, "vantel-sim: --port takes 1 to 255 or COM1 to COM255\n");
                return false;
            }
        } else if (name == "--address") {
            if (!sim::parseAddressList(value, options.addresses)) {
                std::fprintf(stderr, "vantel-sim: --address: addresses must be 1 to 247, each "
                                     "once, as a list such as 1,3,5-7\n");
                return false;
            }
        } else if (name == "--port-dir") {
            options.portDir = value;
        } else if (name == "--control") {
            options.controlPath = value;
        } else {
            static const char *const kSettable[] = {
                "voltage", "current", "output", "load", "actual-voltage", "actual-current", "mode"};
            const std::string key = name.rfind("--", 0) == 0 ? name.substr(2) : name;
            if (std::find(std::begin(kSettable), std::end(kSettable), key) == std::end(kSettable)) {
                std::fprintf(stderr, "vantel-sim: unknown option %s\n%s", name.c_str(), kUsage);
                return false;
            }
            bool quit = false;
            std::vector<sim::Unit> one{{options.supply, {}}};
            const std::string answer = sim::runCommand("set " + key + " " + value, one, quit);
            options.supply = one.front().supply;
            if (answer != "ok") {
                std::fprintf(stderr, "vantel-sim: --%s: %s\n", key.c_str(),
                             answer.substr(answer.find(' ') + 1).c_str());
                return false;
            }
        }
    }
    return true;
}

// Standard input that is /dev/null carries no commands (a simulator started in
// the background by a script), so its immediate end does not end the simulator.
bool isDevNull(int fd)
{
    struct stat in {};
    struct stat null {};
    return ::fstat(fd, &in) == 0 && ::stat("/dev/null", &null) == 0 && S_ISCHR(in.st_mode) &&
           in.st_rdev == null.st_rdev;
}

class Simulator {
public:
    Simulator(Options options, sim::PortLink &link, sim::ModbusSlave &slave)
        : m_options(std::move(options)), m_link(link), m_slave(slave), m_start(Clock::now()),
          m_lastAdvance(m_start)
    {
        for (const int address : m_options.addresses) {
            sim::Unit unit{m_options.supply, {}};
            unit.supply.address = address;
            m_units.push_back(std::move(unit));
        }
    }

    int run(int wakeRead, int control);

private:
    // Trace lines for bytes that carry no address (junk).
    static constexpr int kNoAddress = -1;

    struct Pending {
        Clock::time_point due;
        int address; // of the supply that made the bytes
        sim::Bytes bytes;
    };

    void trace(const char *kind, int address, const sim::Bytes &bytes);
    void advance();
    sim::Unit *unitAt(int address);
    void readLine(int fd, std::string &buffer, bool &open);
    void readMaster();
    void handle(const std::vector<sim::RequestFramer::Piece> &pieces);
    void serve(sim::Unit &unit, const sim::Bytes &request);
    void sendDue();
    int pollTimeout() const;

    Options m_options;
    sim::PortLink &m_link;
    sim::ModbusSlave &m_slave;
    std::vector<sim::Unit> m_units;
    sim::RequestFramer m_framer;
    std::deque<Pending> m_pending;
    Clock::time_point m_start;
    Clock::time_point m_lastAdvance;
    Clock::time_point m_lastByte;
    Clock::time_point m_masterPausedUntil;
    bool m_quit = false;
};

void Simulator::trace(const char *kind, int address, const sim::Bytes &bytes)
{
    if (!m_options.trace) {
        return;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    if (address == kNoAddress) {
        std::printf("%.6f %s %s @-\n", seconds, kind, sim::hex(bytes).c_str());
    } else {
        std::printf("%.6f %s %s @%d\n", seconds, kind, sim::hex(bytes).c_str(), address);
    }
}

// Brings every supply's load up to now, before a request or a command changes it.
void Simulator::advance()
{
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - m_lastAdvance).count();
    m_lastAdvance = now;
    for (sim::Unit &unit : m_units) {
        sim::advance(unit.supply, seconds);
    }
}

sim::Unit *Simulator::unitAt(int address)
{
    for (sim::Unit &unit : m_units) {
        if (unit.supply.address == address) {
            return &unit;
        }
    }
    return nullptr;
}

void Simulator::handle(const std::vector<sim::RequestFramer::Piece> &pieces)
{
    for (const auto &piece : pieces) {
        if (!piece.isFrame) {
            trace("junk", kNoAddress, piece.bytes);
            continue;
        }
        const int address = piece.bytes[0];
        trace("rx", address, piece.bytes);
        advance();
        if (address == 0) {
            // A broadcast is carried out by every supply, and answered by none.
            for (sim::Unit &unit : m_units) {
                m_slave.serve(piece.bytes, unit.supply);
            }
        } else if (sim::Unit *unit = unitAt(address)) {
            serve(*unit, piece.bytes);
        }
    }
}

void Simulator::serve(sim::Unit &unit, const sim::Bytes &request)
{
    const int address = unit.supply.address; // the echo of an address change goes out from it
    const sim::Bytes reply = m_slave.serve(request, unit.supply);
    if (reply.empty()) {
        return;
    }
    std::vector<sim::Chunk> chunks;
    switch (unit.shaper.shape(reply, request[1], chunks)) {
    case sim::ReplyShaper::Outcome::Muted:
        trace("muted", address, reply);
        break;
    case sim::ReplyShaper::Outcome::Held:
        trace("held", address, reply);
        break;
    case sim::ReplyShaper::Outcome::Sent: {
        const auto now = Clock::now();
        for (auto &chunk : chunks) {
            // Replies leave in order even if a fault was changed in between.
            auto due = now + chunk.after;
            if (!m_pending.empty()) {
                due = std::max(due, m_pending.back().due);
            }
            m_pending.push_back({due, address, std::move(chunk.bytes)});
        }
        break;
    }
    }
}

void Simulator::sendDue()
{
    const auto now = Clock::now();
    while (!m_pending.empty() && m_pending.front().due <= now) {
        const sim::Bytes bytes = std::move(m_pending.front().bytes);
        const int address = m_pending.front().address;
        m_pending.pop_front();
        const ssize_t n = ::write(m_link.master(), bytes.data(), bytes.size());
        // A full pseudo-terminal means nobody reads the port: the bytes are lost,
        // as on a real line.
        if (n == static_cast<ssize_t>(bytes.size())) {
            trace("tx", address, bytes);
        } else {
            trace("lost", address, bytes);
        }
    }
}

void Simulator::readMaster()
{
    std::uint8_t buffer[512];
    const ssize_t n = ::read(m_link.master(), buffer, sizeof buffer);
    if (n > 0) {
        m_lastByte = Clock::now();
        handle(m_framer.feed(buffer, static_cast<std::size_t>(n)));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        m_masterPausedUntil = Clock::now() + kErrorBackoff;
    }
}

void Simulator::readLine(int fd, std::string &buffer, bool &open)
{
    char chunk[512];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        open = false;
        // An unreadable terminal (a background job) is not the end of input.
        if (n == 0) {
            m_quit = m_quit || fd == STDIN_FILENO;
        }
        return;
    }
    if (n < 0) {
        return;
    }
    buffer.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t end; (end = buffer.find('\n')) != std::string::npos;) {
        const std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        bool quit = false;
        advance();
        std::string answer = sim::runCommand(line, m_units, quit);
        m_quit = m_quit || quit;
        if (!answer.empty()) {
            if (answer.back() == '\n') {
                answer.pop_back();
            }
            std::printf("%s\n", answer.c_str());
        }
    }
}

int Simulator::pollTimeout() const
{
    auto next = Clock::time_point::max();
    if (!m_pending.empty()) {
        next = m_pending.front().due;
    }
    if (m_framer.pending()) {
        next = std::min(next, m_lastByte + kFrameGap);
    }
    if (m_masterPausedUntil > Clock::now()) {
        next = std::min(next, m_masterPausedUntil);
    }
    if (next == Clock::time_point::max()) {
        return -1;
    }
    const auto wait = std::chrono::ceil<milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::max<decltype(wait)>(wait, 0));
}

int Simulator::run(int wakeRead, int control)
{
    std::string stdinBuffer;
    std::string controlBuffer;
    bool stdinOpen = m_options.readStdin && !isDevNull(STDIN_FILENO);
    bool controlOpen = control >= 0;

    std::printf("ready %s %s %s\n", m_link.name().c_str(), m_link.slavePath().c_str(),
                m_link.linkPath().c_str());

    while (!g_stop && !m_quit) {
        pollfd fds[4];
        nfds_t count = 0;
        fds[count++] = {wakeRead, POLLIN, 0};
        const bool masterActive = m_masterPausedUntil <= Clock::now();
        const nfds_t masterIndex = count;
        if (masterActive) {
            fds[count++] = {m_link.master(), POLLIN, 0};
        }
        const nfds_t stdinIndex = count;
        if (stdinOpen) {
            fds[count++] = {STDIN_FILENO, POLLIN, 0};
        }
        const nfds_t controlIndex = count;
        if (controlOpen) {
            fds[count++] = {control, POLLIN, 0};
        }
        if (::poll(fds, count, pollTimeout()) < 0 && errno != EINTR) {
            std::perror("vantel-sim: poll");
            return 1;
        }
        if (masterActive && fds[masterIndex].revents) {
            readMaster();
        }
        if (stdinOpen && fds[stdinIndex].revents) {
            readLine(STDIN_FILENO, stdinBuffer, stdinOpen);
        }
        if (controlOpen && fds[controlIndex].revents) {
            readLine(control, controlBuffer, controlOpen);
        }
        if (m_framer.pending() && Clock::now() - m_lastByte >= kFrameGap) {
            handle(m_framer.flush());
        }
        sendDue();
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    if (!parseOptions(argc, argv, options)) {
        return 2;
    }

    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("vantel-sim: pipe");
        return 1;
    }
    g_wakeWrite = wake[1];
    struct sigaction action {};
    action.sa_handler = onSignal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A background job reading the terminal gets EIO instead of being stopped.
    std::signal(SIGTTIN, SIG_IGN);

    std::string error;
    const std::string directory = sim::portDirectory(options.portDir);
    auto link = sim::PortLink::open(directory, options.port, error);
    if (!link) {
        std::fprintf(stderr, "vantel-sim: %s\n", error.c_str());
        return 1;
    }
    auto slave = sim::ModbusSlave::create(error);
    if (!slave) {
        std::fprintf(stderr, "vantel-sim: %s\n", error.c_str());
        return 1;
    }

    int control = -1;
    bool madeFifo = false;
    if (!options.controlPath.empty()) {
        if (::mkfifo(options.controlPath.c_str(), 0600) == 0) {
            madeFifo = true;
        } else if (errno != EEXIST) {
            std::fprintf(stderr, "vantel-sim: cannot create %s: %s\n", options.controlPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
        // Opened for writing too, so the FIFO never reports end of input when a
        // writer goes away.
        control = ::open(options.controlPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (control < 0) {
            std::fprintf(stderr, "vantel-sim: cannot open %s: %s\n", options.controlPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }

    const std::string controlPath = options.controlPath;
    Simulator simulator(std::move(options), *link, *slave);
    const int status = simulator.run(wake[0], control);
    if (control >= 0) {
        ::close(control);
    }
    if (madeFifo) {
        ::unlink(controlPath.c_str());
    }
    return status;
}
