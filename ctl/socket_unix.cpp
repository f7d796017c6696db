#include "ctl/socket.h"

#include <QDir>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ctl {

void prepareSocket(qintptr socket)
{
    const int fd = int(socket);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1) {
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

qint64 socketReceive(qintptr socket, char *data, qint64 size)
{
    ssize_t n = 0;
    do {
        n = ::recv(int(socket), data, std::size_t(size), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK ? kSocketWouldBlock : kSocketFailed;
    }
    return qint64(n);
}

qint64 socketSend(qintptr socket, const char *data, qint64 size)
{
    ssize_t n = 0;
    do {
        n = ::send(int(socket), data, std::size_t(size), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK ? kSocketWouldBlock : kSocketFailed;
    }
    return qint64(n);
}

void closeSocket(qintptr socket)
{
    ::close(int(socket));
}

QHostAddress socketPeer(qintptr socket, quint16 *port)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(int(socket), reinterpret_cast<sockaddr *>(&address), &length) != 0) {
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
    return QString::fromLocal8Bit(std::strerror(errno));
}

long descriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return -1;
    }
    return long(limit.rlim_cur);
}

long descriptorsInUse()
{
    // Linux lists them in /proc, other systems in /dev/fd; failing both, every
    // number below the limit is asked.
    for (const char *folder : {"/proc/self/fd", "/dev/fd"}) {
        const QDir dir(QString::fromLatin1(folder));
        if (dir.exists()) {
            // The listing itself holds one while it reads.
            return long(dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                            .size()) -
                   1;
        }
    }
    const long limit = descriptorLimit();
    if (limit < 0 || limit > 65536) {
        return -1;
    }
    long used = 0;
    for (int fd = 0; fd < limit; ++fd) {
        used += ::fcntl(fd, F_GETFD) != -1 ? 1 : 0;
    }
    return used;
}

} // namespace ctl
