// Input: what a Modbus TCP client sends to `vantelctl serve --modbus` (or a program
// of ours to the line's owner, when bit 7 of the first byte is set), sent over and
// over by a client that never reads its answers. Its bytes go to the gateway as the
// socket server wires it: answers wait in the connection's outgoing buffer, the
// client is not served while more than kUnreadAnswers of them wait, and too many
// requests waiting close it. The line is a port that is away, so every request is
// answered at once (0x0B) or refused. After each piece the server holds at most its
// waiting requests, the unread answers and one answer more.
#include "ctl/socketserver.h"
#include "engine/client.h"
#include "fuzzcheck.h"
#include "gateway/gateway.h"
#include "serial/bufferedcommcontrol.h"
#include "unreadpeer.h"

#include <QCoreApplication>

#include <memory>

namespace {

constexpr std::size_t kFlood = 128 * 1024;
// Requests waiting (each at most an ADU), a partial one, the unread answers, one
// answer, and Qt's and the engine's bookkeeping of the requests under way.
constexpr std::int64_t kHeld =
    std::int64_t(gateway::Gateway::kWaitingRequests + 2) * 1024 + ctl::kUnreadAnswers + 256 * 1024;

// A port that is away: the engine answers every request with a port failure.
class AwayLine : public serial::BufferedCommControl {
public:
    using serial::BufferedCommControl::BufferedCommControl;

protected:
    void openDevice(int) override
    {
        throw serial::CommError(serial::kErrPortNotFound, "the port is away");
    }
    void closeDevice() override {}
    void probeDevice(int) override
    {
        throw serial::CommError(serial::kErrPortNotFound, "the port is away");
    }
    bool deviceIsOpen() const override { return false; }
    void writeDevice(const QByteArray &) override { FUZZ_CHECK(false); }
};

struct Rig {
    int argc = 1;
    char name[8] = "fuzz";
    char *argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
    AwayLine line;
    engine::Client client{line};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static Rig rig;
    if (size < 2) {
        return 0;
    }
    const std::size_t piece = 1 + (data[0] & 0x7F) * 16;
    const std::int64_t before = fuzz::heapBytes();
    {
        gateway::Gateway gateway(rig.client, {{1, 5}, 0, 0, false});
        gateway.setNamesVerdicts((data[0] & 0x80) != 0);
        // Beyond the bound, one answer; a program of ours is also told of each
        // request it has waiting as it is queued, whether it reads or not.
        const qsizetype unsentBound =
            ctl::kUnreadAnswers +
            qsizetype(protocol::mbap::kMaxAduSize) *
                ((data[0] & 0x80) != 0 ? qsizetype(gateway::Gateway::kWaitingRequests) + 2 : 1);
        QByteArray unsent; // the socket's outgoing buffer: the client never reads it
        bool closed = false;
        const int id = gateway.open({[&unsent](const QByteArray &bytes) { unsent += bytes; },
                                     [&unsent] { return unsent.size() < ctl::kUnreadAnswers; },
                                     [] {}, [&closed](const QString &) { closed = true; }});
        std::int64_t most = 0;
        fuzz::flood(
            data + 1, size - 1, piece, kFlood,
            [&](const std::uint8_t *bytes, std::size_t n) {
                if (closed) {
                    return false;
                }
                gateway.receive(id,
                                QByteArray(reinterpret_cast<const char *>(bytes), qsizetype(n)));
                QCoreApplication::processEvents();
                return true;
            },
            [&] {
                FUZZ_CHECK(unsent.size() < unsentBound);
                most = std::max(most, fuzz::heapBytes() - before);
                if (most > kHeld) {
                    std::fprintf(stderr, "the server holds %lld bytes for one connection\n",
                                 static_cast<long long>(most));
                }
                FUZZ_CHECK(most <= kHeld);
            });
        gateway.close(id);
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::processEvents();
        }
        FUZZ_CHECK(!gateway.busy());
    }
    return 0;
}
