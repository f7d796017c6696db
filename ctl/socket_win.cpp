#include "ctl/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace ctl {

void prepareSocket(qintptr socket)
{
    u_long nonBlocking = 1;
    ::ioctlsocket(SOCKET(socket), FIONBIO, &nonBlocking);
    const BOOL on = TRUE;
    ::setsockopt(SOCKET(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on),
                 sizeof on);
}

qint64 socketReceive(qintptr socket, char *data, qint64 size)
{
    const int n = ::recv(SOCKET(socket), data, int(qMin<qint64>(size, 1 << 30)), 0);
    if (n == SOCKET_ERROR) {
        return ::WSAGetLastError() == WSAEWOULDBLOCK ? kSocketWouldBlock : kSocketFailed;
    }
    return qint64(n);
}

qint64 socketSend(qintptr socket, const char *data, qint64 size)
{
    const int n = ::send(SOCKET(socket), data, int(qMin<qint64>(size, 1 << 30)), 0);
    if (n == SOCKET_ERROR) {
        return ::WSAGetLastError() == WSAEWOULDBLOCK ? kSocketWouldBlock : kSocketFailed;
    }
    return qint64(n);
}

void closeSocket(qintptr socket)
{
    ::closesocket(SOCKET(socket));
}

QHostAddress socketPeer(qintptr socket, quint16 *port)
{
    sockaddr_storage address{};
    int length = sizeof address;
    if (::getpeername(SOCKET(socket), reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        *port = 0;
        return {};
    }
    if (address.ss_family == AF_INET6) {
        *port = ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port);
    } else {
        *port = ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
    }
    return QHostAddress(reinterpret_cast<const sockaddr *>(&address));
}

QString socketError()
{
    return QStringLiteral("socket error %1").arg(::WSAGetLastError());
}

// Windows sockets are handles, not C runtime descriptors: no per-process limit
// applies to them short of memory.
long descriptorLimit()
{
    return -1;
}

long descriptorsInUse()
{
    return -1;
}

} // namespace ctl
