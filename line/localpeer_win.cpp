#include "line/localpeer.h"

#include <windows.h>

namespace line {

bool localPeerGone(const QLocalSocket &socket)
{
    const qintptr handle = socket.socketDescriptor();
    if (handle == -1 || handle == 0) {
        return socket.state() != QLocalSocket::ConnectedState;
    }
    DWORD available = 0;
    if (PeekNamedPipe(reinterpret_cast<HANDLE>(handle), nullptr, 0, nullptr, &available, nullptr)) {
        return false;
    }
    const DWORD error = GetLastError();
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_NO_DATA;
}

} // namespace line
