#include "ctl/platform.h"

#include "ctl/networkports.h"
#include "ctl/output.h"
#include "serial/portnames.h"

#include <QFileInfo>
#include <QSerialPortInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace ctl {

namespace {

constexpr int kLastListedPort = 16;

} // namespace

bool stdoutWasClosed()
{
    bool closed = false;
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            closed = closed || fd == 1;
            // open() takes the lowest free number: this one.
            [[maybe_unused]] const int null = ::open("/dev/null", O_RDWR);
        }
    }
    return closed;
}

// COM1..COM16 that resolve to an entry: a device, or a link, even a dangling one;
// a link to a network line as that line.
// Adapters without a COM name get one first, as the windows' port search does.
std::vector<PortEntry> listPorts(serial::CommControl &comm)
{
    for (const serial::AdapterName &made : serial::assignAdapterNames()) {
        printErr(
            QStringLiteral("COM%1 now names %2 (%3)").arg(made.port).arg(made.device, made.link));
    }
    std::vector<PortEntry> ports;
    for (int n = 1; n <= kLastListedPort; ++n) {
        const QString path = serial::devicePath(n);
        const QFileInfo info(path);
        if (path.isEmpty() || (!info.exists() && !info.isSymLink())) {
            continue;
        }
        PortEntry entry;
        entry.name = QStringLiteral("COM%1").arg(n);
        entry.device = info.exists() ? info.canonicalFilePath() : info.symLinkTarget();
        entry.state = info.exists() ? portState(comm.probePort(n)) : portState(-1);
        if (info.exists()) {
            entry.description = QSerialPortInfo(entry.device).description();
        }
        ports.push_back(entry);
    }
    listNetworkPorts(ports, kLastListedPort);
    return ports;
}

bool stderrIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

bool writeText(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    const auto size = static_cast<std::size_t>(bytes.size());
    const bool written = std::fwrite(bytes.constData(), 1, size, stream) == size;
    return std::fflush(stream) == 0 && written;
}

} // namespace ctl
