// vantel-sim: a 60 V / 3 A bench supply answering Modbus RTU on a pseudo-terminal.

#include "control.h"
#include "modbusslave.h"
#include "portlink.h"
#include "simulator.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

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
    "  --line timed|instant   timed: bytes keep the port's character times (10 bits\n"
    "                         at its baud, 1.04 ms at 9600) and replies a latency;\n"
    "                         instant: bytes take no time (default timed)\n"
    "  --latency MS[,JITTER]  a reply starts MS to MS+JITTER ms after its request\n"
    "                         ends (default 10 on the timed line, 0 on the instant)\n"
    "  --trace                print every frame received and sent\n"
    "  --control PATH         also read commands from the FIFO PATH (created if missing)\n"
    "  --no-stdin             do not read commands from standard input\n"
    "Commands come one per line on standard input; end of input ends the simulator.\n";

int g_wakeWrite = -1;

void onSignal(int)
{
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = ::write(g_wakeWrite, &byte, 1);
}

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

// "MS" or "MS,JITTER_MS", each 0 to one minute, fractions allowed.
bool parseLatency(const std::string &text, sim::LineOptions &line)
{
    const std::size_t comma = text.find(',');
    const std::string parts[] = {text.substr(0, comma),
                                 comma == std::string::npos ? "0" : text.substr(comma + 1)};
    std::chrono::microseconds values[2];
    for (int i = 0; i < 2; ++i) {
        char *end = nullptr;
        errno = 0;
        const double ms = std::strtod(parts[i].c_str(), &end);
        if (parts[i].empty() || errno != 0 || *end != '\0' || !(ms >= 0 && ms <= 60000)) {
            return false;
        }
        values[i] = std::chrono::microseconds{std::llround(ms * 1000)};
    }
    line.latency = values[0];
    line.jitter = values[1];
    return true;
}

bool isOneOf(const std::string &name, std::initializer_list<const char *> names)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Options that set a supply's start go through the same "set" commands as the
// control channel.
bool parseOptions(int argc, char **argv, sim::Options &options)
{
    bool latencyGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        const std::size_t equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        const bool settable = isOneOf(name, {"--voltage", "--current", "--output", "--load",
                                             "--actual-voltage", "--actual-current", "--mode"});
        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(sim::kCommandHelp, stdout);
            std::exit(0);
        } else if (name == "--trace") {
            options.trace = true;
            continue;
        } else if (name == "--no-stdin") {
            options.readStdin = false;
            continue;
        } else if (!settable && !isOneOf(name, {"--port", "--port-dir", "--address", "--control",
                                                "--line", "--latency"})) {
            std::fprintf(stderr, "vantel-sim: unknown option %s\n%s", name.c_str(), kUsage);
            return false;
        }
        if (equals == std::string::npos) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vantel-sim: %s needs a value\n", name.c_str());
                return false;
            }
            value = argv[++i];
        }
        if (name == "--port") {
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
        } else if (name == "--line") {
            if (value != "timed" && value != "instant") {
                std::fprintf(stderr, "vantel-sim: --line takes timed or instant\n");
                return false;
            }
            options.line.instant = value == "instant";
        } else if (name == "--latency") {
            if (!parseLatency(value, options.line)) {
                std::fprintf(stderr, "vantel-sim: --latency takes MS or MS,JITTER_MS, each 0 "
                                     "to 60000\n");
                return false;
            }
            latencyGiven = true;
        } else {
            const std::string key = name.substr(2);
            bool quit = false;
            sim::LineFaults lineFaults;
            std::vector<sim::Unit> one{{options.supply, {}}};
            const std::string answer =
                sim::runCommand("set " + key + " " + value, one, lineFaults, quit);
            options.supply = one.front().supply;
            if (answer != "ok") {
                std::fprintf(stderr, "vantel-sim: --%s: %s\n", key.c_str(),
                             answer.substr(answer.find(' ') + 1).c_str());
                return false;
            }
        }
    }
    // The instant line answers at once unless told otherwise.
    if (options.line.instant && !latencyGiven) {
        options.line.latency = options.line.jitter = {};
    }
    return true;
}

// The FIFO for commands at `path`, opened; a new one is made when nothing is
// there. Anything else at the path is refused: commands written into a
// regular file would never be read.
int openControl(const std::string &path, bool &made)
{
    made = false;
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISFIFO(info.st_mode)) {
            std::fprintf(stderr,
                         "vantel-sim: --control %s exists and is not a FIFO; remove it "
                         "or name a new path\n",
                         path.c_str());
            return -1;
        }
    } else if (::mkfifo(path.c_str(), 0600) == 0) {
        made = true;
    } else {
        std::fprintf(stderr, "vantel-sim: cannot create %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return -1;
    }
    // Opened for writing too, so the FIFO never reports end of input when a
    // writer goes away.
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "vantel-sim: cannot open %s: %s\n", path.c_str(),
                     std::strerror(errno));
        if (made) {
            ::unlink(path.c_str());
        }
    }
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    sim::Options options;
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
    bool createFolder = false;
    const std::string directory = sim::portDirectory(options.portDir, createFolder);
    auto link = sim::PortLink::open(directory, options.port, createFolder, error);
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
        control = openControl(options.controlPath, madeFifo);
        if (control < 0) {
            return 1;
        }
    }

    const std::string controlPath = options.controlPath;
    int status = 0;
    {
        QCoreApplication app(argc, argv);
        QSocketNotifier wakeNotifier(wake[0], QSocketNotifier::Read);
        QObject::connect(&wakeNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
        sim::Simulator simulator(std::move(options), *link, *slave);
        simulator.start(control);
        status = app.exec();
    }
    if (control >= 0) {
        ::close(control);
    }
    if (madeFifo) {
        ::unlink(controlPath.c_str());
    }
    return status;
}
