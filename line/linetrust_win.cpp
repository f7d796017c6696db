#include "line/linetrust.h"

#include <QCryptographicHash>

#include <windows.h>

#include <memory>
#include <vector>

namespace line {

namespace {

QString shortHashOf(const QString &text)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex().left(16));
}

struct HandleCloser {
    void operator()(HANDLE handle) const
    {
        if (handle) {
            ::CloseHandle(handle);
        }
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// The user a process runs as, as its token tells (a buffer that holds the SID).
std::vector<char> tokenUser(HANDLE process)
{
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &rawToken)) {
        return {};
    }
    const Handle token(rawToken);
    DWORD size = 0;
    ::GetTokenInformation(rawToken, TokenUser, nullptr, 0, &size);
    if (size == 0) {
        return {};
    }
    std::vector<char> buffer(size);
    if (!::GetTokenInformation(rawToken, TokenUser, buffer.data(), size, &size)) {
        return {};
    }
    return buffer;
}

PSID sidOf(std::vector<char> &user)
{
    return reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid;
}

} // namespace

QString lineSocketPlace(const QString &hash)
{
    // A pipe's name is the machine's: the user's name keeps two users apart, and
    // the pipe itself admits only its user.
    return QStringLiteral("vantel-line-%1-%2")
        .arg(shortHashOf(qEnvironmentVariable("USERNAME")), hash);
}

QStringList lineSocketPlaces(const QString &hash)
{
    return {lineSocketPlace(hash)};
}

DeviceHolder deviceHolder(const QString &)
{
    return {};
}

QString lineFolderProblem(const QString &, bool *exists)
{
    *exists = false; // a pipe has no folder
    return {};
}

QString makeLineFolder(const QString &)
{
    return {};
}

LinePeer linePeer(qintptr descriptor)
{
    LinePeer peer;
    ULONG pid = 0;
    if (!::GetNamedPipeServerProcessId(reinterpret_cast<HANDLE>(descriptor), &pid)) {
        return peer;
    }
    peer.pid = pid;
    const Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) {
        // A process this user may not even look at is another user's.
        peer.known = true;
        peer.user = QStringLiteral("another user");
        return peer;
    }
    std::vector<char> theirs = tokenUser(process.get());
    std::vector<char> mine = tokenUser(::GetCurrentProcess());
    if (theirs.empty() || mine.empty()) {
        return peer;
    }
    peer.known = true;
    peer.ours = ::EqualSid(sidOf(theirs), sidOf(mine)) != 0;
    peer.user = peer.ours ? QStringLiteral("this user") : QStringLiteral("another user");
    return peer;
}

} // namespace line
