#include "line/localpeer.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>

namespace line {

bool localPeerGone(const QLocalSocket &socket)
{
    const qintptr fd = socket.socketDescriptor();
    if (fd < 0) {
        return socket.state() != QLocalSocket::ConnectedState;
    }
    char byte = 0;
    const ssize_t got = ::recv(static_cast<int>(fd), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got == 0) {
        return true; // the stream has ended: only the end waits
    }
    return got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

} // namespace line
