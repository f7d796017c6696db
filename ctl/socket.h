#pragma once

#include <QHostAddress>
#include <QtGlobal>

// What serve needs of a connected TCP socket and of the process's descriptors,
// one file per platform behind these functions. A socket is read and written
// without blocking.
namespace ctl {

// socketReceive() and socketSend(): nothing can move now, or the socket failed.
constexpr qint64 kSocketWouldBlock = -1;
constexpr qint64 kSocketFailed = -2;

// Makes an accepted socket non-blocking and sends small writes at once (no Nagle).
void prepareSocket(qintptr socket);
// Bytes read, 0 once the peer has sent its last byte (a FIN), or one of the two above.
qint64 socketReceive(qintptr socket, char *data, qint64 size);
// Bytes written, or one of the two above. Never raises SIGPIPE.
qint64 socketSend(qintptr socket, const char *data, qint64 size);
void closeSocket(qintptr socket);
// The peer's address and port.
QHostAddress socketPeer(qintptr socket, quint16 *port);
// The system's text for the last socket error.
QString socketError();

// The most descriptors the process may hold (its soft limit), and how many it holds
// now; -1 where the platform sets no such limit or cannot say.
long descriptorLimit();
long descriptorsInUse();

} // namespace ctl
