#include "ctl/platform.h"

#include "ctl/networkports.h"

#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <io.h>
#include <string>
#include <vector>
#include <windows.h>

namespace ctl {

namespace {

constexpr int kLastComPort = 256;

// The COM numbers among the system's device names, or none when it would not say.
// Each entry of QueryDosDeviceW's list is a name ended by a NUL; the list ends with
// an empty name.
std::vector<int> comNumbersFromDeviceNames()
{
    std::vector<wchar_t> names(64 * 1024);
    for (;;) {
        const DWORD length =
            QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (length != 0) {
            break;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= 4 * 1024 * 1024) {
            return {};
        }
        names.resize(names.size() * 2);
    }
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    std::vector<int> numbers;
    for (const wchar_t *name = names.data(); *name != L'\0'; name += wcslen(name) + 1) {
        const QRegularExpressionMatch match = com.match(QString::fromWCharArray(name));
        const int number = match.hasMatch() ? match.captured(1).toInt() : 0;
        if (number >= 1 && number <= kLastComPort) {
            numbers.push_back(number);
        }
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

// The kernel device a COM name stands for (\Device\Serial0, \Device\VCP0...),
// which tells a built-in port from an adapter; the name itself when there is none.
QString kernelDevice(const QString &name)
{
    wchar_t target[1024];
    const std::wstring wide = name.toStdWString();
    if (QueryDosDeviceW(wide.c_str(), target, 1024) == 0) {
        return name;
    }
    return QString::fromWCharArray(target);
}

} // namespace

// Every COM port the system knows. The system's device names say which exist, so
// only those are opened to learn their state; when it will not list them, every
// number is tried.
std::vector<PortEntry> listPorts(serial::CommControl &comm)
{
    std::vector<int> numbers = comNumbersFromDeviceNames();
    const bool listed = !numbers.empty();
    if (!listed) {
        for (int n = 1; n <= kLastComPort; ++n) {
            numbers.push_back(n);
        }
    }
    std::vector<PortEntry> ports;
    for (const int n : numbers) {
        const int error = comm.probePort(n);
        if (error == serial::kErrPortNotFound && !listed) {
            continue;
        }
        const QString name = QStringLiteral("COM%1").arg(n);
        ports.push_back(PortEntry{name, kernelDevice(name), portState(error), QString()});
    }
    listNetworkPorts(ports, kLastComPort);
    return ports;
}

bool stderrIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

bool writeText(std::FILE *stream, const QString &text)
{
    // What the C library holds for the stream goes out first, in order.
    if (std::fflush(stream) != 0) {
        return false;
    }
    const auto console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || GetConsoleMode(console, &mode) == 0) {
        // A file or a pipe: UTF-8, not the ANSI code page, which cannot hold every
        // character of a path.
        const QByteArray bytes = text.toUtf8();
        const auto size = static_cast<std::size_t>(bytes.size());
        const bool written = std::fwrite(bytes.constData(), 1, size, stream) == size;
        return std::fflush(stream) == 0 && written;
    }
    // A console shows UTF-16 as it is. Written in pieces, none of which ends
    // between the two halves of a surrogate pair.
    constexpr qsizetype kPiece = 8192;
    const auto *data = reinterpret_cast<const wchar_t *>(text.utf16());
    qsizetype left = text.size();
    while (left > 0) {
        qsizetype piece = std::min(left, kPiece);
        if (piece < left && QChar::isHighSurrogate(data[piece - 1])) {
            --piece;
        }
        DWORD written = 0;
        if (WriteConsoleW(console, data, static_cast<DWORD>(piece), &written, nullptr) == 0 ||
            written == 0) {
            errno = EIO;
            return false;
        }
        data += written;
        left -= static_cast<qsizetype>(written);
    }
    return true;
}

bool stdoutWasClosed()
{
    return false; // a Windows process without a console still has its handles
}

} // namespace ctl
