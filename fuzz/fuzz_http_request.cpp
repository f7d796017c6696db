// Input: the bytes an HTTP client sends, cut into pieces at the size the first
// byte chooses. They go to the request parser, whose requests must keep its
// bounds, and over a loopback socket to a live server on a bench of its own:
// nothing reaches the bench without the token in a header, and what reaches it
// is within the supply's range.
#include "fuzzbench.h"
#include "fuzzcheck.h"
#include "web/httpserver.h"
#include "web/requestparser.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpSocket>

#include <memory>

namespace {

using fuzz::CountingBench;

void checkParser(const std::uint8_t *data, std::size_t size, std::size_t piece)
{
    web::RequestParser parser;
    for (std::size_t at = 0; at < size; at += piece) {
        const std::size_t n = std::min(piece, size - at);
        const bool fine = parser.feed(reinterpret_cast<const char *>(data + at), qsizetype(n));
        while (auto request = parser.next()) {
            FUZZ_CHECK(request->body.size() <= web::RequestParser::kMaxBody);
            FUZZ_CHECK(request->path.startsWith('/') || request->path == "*");
            for (const auto &header : request->headers) {
                FUZZ_CHECK(header.first == header.first.toLower());
            }
        }
        FUZZ_CHECK(fine == (parser.failureStatus() == 0));
        if (!fine) {
            break;
        }
    }
    const int status = parser.failureStatus();
    FUZZ_CHECK(status == 0 || status == 400 || status == 413);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static fuzz::HttpRig rig;
    if (size < 1) {
        return 0;
    }
    const std::size_t piece = 1 + data[0] % 64;
    checkParser(data + 1, size - 1, piece);

    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const int before = rig.bench.calls;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, rig.server->serverPort());
    QDeadlineTimer deadline(2000);
    while (socket.state() != QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    for (qsizetype at = 0; at < bytes.size(); at += qsizetype(piece)) {
        socket.write(bytes.mid(at, qsizetype(piece)));
        QCoreApplication::processEvents();
    }
    socket.disconnectFromHost();
    while (socket.state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        socket.readAll();
    }
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
    }
    // Only a request with the token in its Authorization header writes.
    if (rig.bench.calls != before) {
        FUZZ_CHECK(bytes.contains(fuzz::kToken));
    }
    return 0;
}
