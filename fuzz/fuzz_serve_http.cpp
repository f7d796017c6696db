// Input: what an HTTP client sends to `vantelctl serve --http`, sent over and over
// on one loopback connection by a client that never reads its answers (its socket
// takes no more than a few KiB from the kernel). The client writes only what the
// server takes in, as a real one does. After each piece the server's heap, beyond
// what the client itself holds, stays within what one connection may hold: its
// request's head and body and its unsent answers, which stop the server reading.
#include "fuzzbench.h"
#include "fuzzcheck.h"
#include "unreadpeer.h"
#include "web/httpserver.h"
#include "web/requestparser.h"

#include <QCoreApplication>
#include <QTcpSocket>

#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

constexpr std::size_t kFlood = 1024 * 1024;
// What one connection may move the server's memory by: a request's head and body,
// unsent answers up to what an event stream may leave unread, and 1 MiB for Qt's
// buffers and the allocator. A server that keeps reading while its answers pile
// up passes it within the flood.
constexpr std::int64_t kHeld = web::RequestParser::kMaxHead + web::RequestParser::kMaxBody +
                               web::HttpServer::kStreamBuffer + 1024 * 1024;
// The client's outgoing bytes beyond which it waits for the server to take them.
constexpr qint64 kClientBuffer = 64 * 1024;
// Rounds of the event loop with nothing taken after which the server is taken to
// have stopped reading (backpressure): the input ends there.
constexpr int kStalledRounds = 20;

// A loopback connection whose receive buffer is a few KiB; the kernel completes
// it before the server accepts it.
qintptr smallWindowConnection(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd >= 0);
    const int size = 4096;
    FUZZ_CHECK(::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0);
    return fd;
}

void spin(int rounds)
{
    for (int i = 0; i < rounds; ++i) {
        QCoreApplication::processEvents();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static fuzz::HttpRig rig;
    if (size < 2) {
        return 0;
    }
    const std::size_t piece = 1 + std::size_t(data[0]) * 32;
    const std::int64_t before = fuzz::heapBytes();
    {
        QTcpSocket socket;
        // Never read: Qt stops taking from the kernel, whose buffer for it is small
        // (set before the connection, so that the window stays small), and the
        // server's answers back up into the server.
        socket.setReadBufferSize(4096);
        FUZZ_CHECK(socket.setSocketDescriptor(smallWindowConnection(rig.server->serverPort())));
        FUZZ_CHECK(socket.state() == QAbstractSocket::ConnectedState);
        std::int64_t most = 0;
        fuzz::flood(
            data + 1, size - 1, piece, kFlood,
            [&](const std::uint8_t *bytes, std::size_t n) {
                // A client that floods writes only what the kernel takes.
                for (int stalled = 0; socket.bytesToWrite() > kClientBuffer; ++stalled) {
                    if (stalled == kStalledRounds ||
                        socket.state() != QAbstractSocket::ConnectedState) {
                        return false;
                    }
                    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
                }
                if (socket.state() != QAbstractSocket::ConnectedState) {
                    return false;
                }
                socket.write(reinterpret_cast<const char *>(bytes), qint64(n));
                spin(2);
                return true;
            },
            [&] {
                // The client's own buffers are not the server's.
                const std::int64_t held =
                    fuzz::heapBytes() - before - socket.bytesToWrite() - socket.bytesAvailable();
                most = std::max(most, held);
                if (most > kHeld) {
                    std::fprintf(stderr, "the server holds %lld bytes for one connection\n",
                                 static_cast<long long>(most));
                }
                FUZZ_CHECK(most <= kHeld);
            });
        socket.abort();
        spin(5);
    }
    return 0;
}
