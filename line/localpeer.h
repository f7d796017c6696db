#pragma once

#include <QLocalSocket>

namespace line {

// Whether the program at the other end of a local connection has closed it,
// though the loss may not be reported yet: its end of the stream is waiting
// behind bytes already read (a program stopped and continued reads both at once).
// Asks the system without reading or waiting.
bool localPeerGone(const QLocalSocket &socket);

} // namespace line
