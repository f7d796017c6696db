#include "simulator.h"

#include "modbusslave.h"
#include "portlink.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// A request whose length its function code does not tell ends after this much
// quiet; leftover junk is dropped then too. Well above 3.5 characters at 9600
// baud (4 ms), so a scheduler hiccup does not split a request.
constexpr milliseconds kFrameGap{20};
// How long to leave the line alone after the pseudo-terminal reports an error,
// so that a persistent error does not spin the loop.
constexpr milliseconds kErrorBackoff{100};
// A speed the port's settings do not tell (B0, an odd one): the supply's own.
constexpr int kDefaultBaud = 9600;

int baudOf(speed_t speed)
{
    switch (speed) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    default:
        return kDefaultBaud;
    }
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

} // namespace

nanoseconds characterTime(int baud)
{
    return nanoseconds{10'000'000'000LL / std::max(baud, 1)};
}

Simulator::Simulator(Options options, PortLink &link, ModbusSlave &slave)
    : m_options(std::move(options)), m_link(link), m_slave(slave), m_start(Clock::now()),
      m_lastAdvance(m_start), m_lastArrival(m_start), m_receiveFree(m_start),
      m_transmitFree(m_start)
{
    for (const int address : m_options.addresses) {
        Unit unit{m_options.supply, {}};
        unit.supply.address = address;
        m_units.push_back(std::move(unit));
    }
    // Qt's timers keep whole milliseconds, and a byte is due every 1.04 ms at
    // 9600 baud: a timer of the system's, set to the nanosecond on the clock the
    // line's times are taken from (steady_clock is CLOCK_MONOTONIC), puts each
    // byte on the line when it is due, never before.
    m_timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_timerFd < 0) {
        throw std::runtime_error(std::string("timerfd_create: ") + std::strerror(errno));
    }
    m_timerNotifier = std::make_unique<QSocketNotifier>(m_timerFd, QSocketNotifier::Read);
    QObject::connect(m_timerNotifier.get(), &QSocketNotifier::activated, [this] {
        std::uint64_t expirations = 0;
        [[maybe_unused]] const ssize_t n = ::read(m_timerFd, &expirations, sizeof expirations);
        tick();
    });
}

Simulator::~Simulator()
{
    m_timerNotifier.reset();
    ::close(m_timerFd);
}

void Simulator::start(int control)
{
    std::printf("ready %s %s %s\n", m_link.name().c_str(), m_link.slavePath().c_str(),
                m_link.linkPath().c_str());
    m_charTime = lineCharacterTime();

    watchMaster();
    if (m_options.readStdin && !isDevNull(STDIN_FILENO)) {
        m_stdinNotifier = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(m_stdinNotifier.get(), &QSocketNotifier::activated,
                         [this] { readCommands(m_stdinNotifier.get(), m_stdinBuffer, true); });
    }
    if (control >= 0) {
        m_controlNotifier = std::make_unique<QSocketNotifier>(control, QSocketNotifier::Read);
        QObject::connect(m_controlNotifier.get(), &QSocketNotifier::activated,
                         [this] { readCommands(m_controlNotifier.get(), m_controlBuffer, false); });
    }
}

void Simulator::watchMaster()
{
    m_masterNotifier = std::make_unique<QSocketNotifier>(m_link.master(), QSocketNotifier::Read);
    QObject::connect(m_masterNotifier.get(), &QSocketNotifier::activated, [this] { readMaster(); });
}

// "unplug" and "plug": the port goes away and comes back as a USB adapter's does.
// Bytes on their way in are lost with it; replies on their way out are written to
// nowhere and traced as lost.
std::string Simulator::plugCommand(bool plugIn)
{
    if (plugIn == m_link.plugged()) {
        return plugIn ? "error: plugged in already" : "error: unplugged already";
    }
    if (!plugIn) {
        m_masterNotifier.reset();
        m_link.unplug();
        m_incoming.clear();
        m_framing.clear();
        m_framer.flush();
        return "ok";
    }
    std::string error;
    if (!m_link.plug(error)) {
        return "error: " + error;
    }
    watchMaster();
    return "ok";
}

void Simulator::trace(const char *kind, int address, const Bytes &bytes, Clock::time_point start,
                      Clock::time_point end)
{
    if (!m_options.trace) {
        return;
    }
    const double from = std::chrono::duration<double>(start - m_start).count();
    const double to = std::chrono::duration<double>(end - m_start).count();
    if (address == kNoAddress) {
        std::printf("%.6f %.6f %s %s @-\n", from, to, kind, hex(bytes).c_str());
    } else {
        std::printf("%.6f %.6f %s %s @%d\n", from, to, kind, hex(bytes).c_str(), address);
    }
}

// Brings every supply's load up to now, before a request or a command changes it.
void Simulator::advance()
{
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - m_lastAdvance).count();
    m_lastAdvance = now;
    for (Unit &unit : m_units) {
        sim::advance(unit.supply, seconds);
    }
}

Unit *Simulator::unitAt(int address)
{
    for (Unit &unit : m_units) {
        if (unit.supply.address == address) {
            return &unit;
        }
    }
    return nullptr;
}

// The program's settings of the port give the line its speed, as a real
// adapter's would.
nanoseconds Simulator::lineCharacterTime() const
{
    if (m_options.line.instant) {
        return nanoseconds{0};
    }
    termios tio{};
    const int baud =
        ::tcgetattr(m_link.slave(), &tio) == 0 ? baudOf(::cfgetospeed(&tio)) : kDefaultBaud;
    return characterTime(baud);
}

microseconds Simulator::latency()
{
    const microseconds jitter = m_options.line.jitter;
    if (jitter.count() <= 0) {
        return m_options.line.latency;
    }
    std::uniform_int_distribution<long long> spread(0, jitter.count());
    return m_options.line.latency + microseconds{spread(m_random)};
}

// The bytes the program wrote reach the supplies one character time apart, the
// first one character time after it was written (or after the byte before it,
// when that is still on the line).
void Simulator::readMaster()
{
    std::uint8_t buffer[512];
    const ssize_t n = ::read(m_link.master(), buffer, sizeof buffer);
    if (n > 0) {
        const auto now = Clock::now();
        m_charTime = lineCharacterTime();
        for (ssize_t i = 0; i < n; ++i) {
            const auto start = std::max(now, m_receiveFree);
            m_receiveFree = start + m_charTime;
            m_incoming.push_back({start, m_receiveFree, buffer[i]});
        }
        tick();
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        m_masterNotifier->setEnabled(false);
        QSocketNotifier *notifier = m_masterNotifier.get();
        QTimer::singleShot(kErrorBackoff, [this, notifier] {
            if (m_masterNotifier.get() == notifier) { // not replaced by a plug since
                notifier->setEnabled(true);
            }
        });
    }
}

void Simulator::readCommands(QSocketNotifier *notifier, std::string &buffer, bool isStdin)
{
    char chunk[512];
    const ssize_t n = ::read(static_cast<int>(notifier->socket()), chunk, sizeof chunk);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        notifier->setEnabled(false);
        // An unreadable terminal (a background job) is not the end of input.
        if (n == 0 && isStdin) {
            QCoreApplication::quit();
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
        std::string answer = line == "unplug" || line == "plug"
                                 ? plugCommand(line == "plug")
                                 : runCommand(line, m_units, m_lineFaults, quit);
        if (!answer.empty()) {
            if (answer.back() == '\n') {
                answer.pop_back();
            }
            std::printf("%s\n", answer.c_str());
        }
        if (quit) {
            QCoreApplication::quit();
            return;
        }
    }
}

void Simulator::tick()
{
    const auto now = Clock::now();
    arrive(now);
    if (m_framer.pending() && now - m_lastArrival >= kFrameGap) {
        handle(m_framer.flush());
    }
    transmit(now);
    schedule();
}

// Bytes whose stop bit has reached the supplies; with the local echo on, the
// program's adapter hears each of them as it goes out.
void Simulator::arrive(Clock::time_point horizon)
{
    Bytes bytes;
    Bytes echo;
    while (!m_incoming.empty() && m_incoming.front().end <= horizon) {
        Incoming in = m_incoming.front();
        m_incoming.pop_front();
        in.echoed = m_lineFaults.localEcho;
        if (in.echoed) {
            echo.push_back(in.byte);
        }
        bytes.push_back(in.byte);
        m_lastArrival = in.end;
        m_framing.push_back(in);
    }
    if (!echo.empty()) {
        // Lost when nobody reads the port, like a reply.
        [[maybe_unused]] const ssize_t n = ::write(m_link.master(), echo.data(), echo.size());
    }
    if (!bytes.empty()) {
        handle(m_framer.feed(bytes.data(), bytes.size()));
    }
}

void Simulator::handle(const std::vector<RequestFramer::Piece> &pieces)
{
    for (const auto &piece : pieces) {
        // The framer hands back the bytes it was fed, in order.
        const std::size_t size = std::min(piece.bytes.size(), m_framing.size());
        if (size == 0) {
            continue;
        }
        const Incoming first = m_framing.front();
        const Incoming last = m_framing[size - 1];
        m_framing.erase(m_framing.begin(), m_framing.begin() + static_cast<std::ptrdiff_t>(size));
        const int address = piece.isFrame ? piece.bytes[0] : kNoAddress;
        if (first.echoed) {
            trace("echo", address, piece.bytes, first.start, last.end);
        }
        if (!piece.isFrame) {
            trace("junk", kNoAddress, piece.bytes, first.start, last.end);
            continue;
        }
        trace("rx", address, piece.bytes, first.start, last.end);
        advance();
        if (address == 0) {
            // A broadcast is carried out by every supply, and answered by none.
            for (Unit &unit : m_units) {
                m_slave.serve(piece.bytes, unit.supply);
            }
        } else if (Unit *unit = unitAt(address)) {
            serve(*unit, piece.bytes, last.end);
        }
    }
}

void Simulator::serve(Unit &unit, const Bytes &request, Clock::time_point end)
{
    const int address = unit.supply.address; // the echo of an address change goes out from it
    const Bytes reply = m_slave.serve(request, unit.supply);
    if (reply.empty()) {
        return;
    }
    std::vector<Chunk> chunks;
    switch (unit.shaper.shape(reply, request[1], chunks)) {
    case ReplyShaper::Outcome::Muted:
        trace("muted", address, reply, end, end);
        break;
    case ReplyShaper::Outcome::Held:
        trace("held", address, reply, end, end);
        break;
    case ReplyShaper::Outcome::Sent: {
        // Replies leave in order (transmit() keeps the queue's order) even if a
        // fault was changed in between.
        const auto ready = end + latency();
        for (auto &chunk : chunks) {
            Outgoing out;
            out.ready = ready + chunk.after;
            out.address = address;
            out.bytes = std::move(chunk.bytes);
            m_outgoing.push_back(std::move(out));
        }
        break;
    }
    }
}

// Writes each reply byte once its stop bit would be on the line: the first one
// character time after the reply starts, the others one character time apart.
void Simulator::transmit(Clock::time_point horizon)
{
    while (!m_outgoing.empty()) {
        Outgoing &out = m_outgoing.front();
        if (!out.started) {
            const auto start = std::max(out.ready, m_transmitFree);
            if (start + m_charTime > horizon) {
                return;
            }
            out.started = true;
            out.start = start;
        }
        std::size_t due = out.bytes.size();
        if (m_charTime.count() > 0) {
            due = std::min<std::size_t>(
                due, static_cast<std::size_t>((horizon - out.start) / m_charTime));
        }
        if (due > out.written) {
            const std::size_t count = due - out.written;
            // A full pseudo-terminal means nobody reads the port: the bytes are
            // lost, as on a real line.
            if (!out.lost && ::write(m_link.master(), out.bytes.data() + out.written, count) !=
                                 static_cast<ssize_t>(count)) {
                out.lost = true;
            }
            out.written = due;
        }
        if (out.written < out.bytes.size()) {
            return;
        }
        m_transmitFree = out.start + m_charTime * static_cast<std::int64_t>(out.bytes.size());
        trace(out.lost ? "lost" : "tx", out.address, out.bytes, out.start, m_transmitFree);
        m_outgoing.pop_front();
    }
}

// Sets the timer for the next thing due: a byte reaching the supplies, a pause
// that ends a frame, the next reply byte.
void Simulator::schedule()
{
    auto next = Clock::time_point::max();
    if (!m_incoming.empty()) {
        next = m_incoming.front().end;
    }
    if (m_framer.pending()) {
        next = std::min(next, m_lastArrival + kFrameGap);
    }
    if (!m_outgoing.empty()) {
        const Outgoing &out = m_outgoing.front();
        const auto start = out.started ? out.start : std::max(out.ready, m_transmitFree);
        next = std::min(next, start + m_charTime * static_cast<std::int64_t>(out.written + 1));
    }
    itimerspec due{};
    if (next != Clock::time_point::max()) {
        const auto at =
            std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch());
        // A time of zero would disarm the timer; one already past fires at once.
        due.it_value.tv_sec = static_cast<time_t>(at.count() / 1000000000);
        due.it_value.tv_nsec = static_cast<long>(at.count() % 1000000000);
        if (due.it_value.tv_sec == 0 && due.it_value.tv_nsec == 0) {
            due.it_value.tv_nsec = 1;
        }
    }
    ::timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &due, nullptr);
}

} // namespace sim
