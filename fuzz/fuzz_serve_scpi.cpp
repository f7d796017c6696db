// Input: what a SCPI client sends to `vantelctl serve`, sent over and over by a
// client that never reads its answers. Its bytes go through the line cutter to
// the instrument as the socket server wires them: answers wait in the connection's
// outgoing buffer, and the client is not served while more than kUnreadAnswers of
// them wait. After each piece the server holds at most that, the lines it keeps
// waiting and one answer more: the heap grows by no more than that bound.
#include "ctl/scpilines.h"
#include "ctl/socketserver.h"
#include "fuzzcheck.h"
#include "instantlink.h"
#include "scpi/instrument.h"
#include "unreadpeer.h"

#include <memory>
#include <string>

namespace {

// Bytes fed a connection each run: enough for its unread answers to reach the bound.
constexpr std::size_t kFlood = 192 * 1024;
// One answer beyond the bound: a line of up to kLongestLine bytes of queries.
constexpr std::int64_t kLargestAnswer = 64 * 1024;
// The line cutter's lines waiting (at most 1 MiB), the unread answers, one answer,
// and the instrument's own bookkeeping.
constexpr std::int64_t kHeld = 1024 * 1024 + ctl::kUnreadAnswers + kLargestAnswer + 256 * 1024;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    fuzz::InstantLink link;
    link.silent = (data[0] & 0x80) != 0;
    const std::size_t piece = 1 + (data[0] & 0x7F) * 64;
    const std::int64_t before = fuzz::heapBytes();
    {
        scpi::Instrument instrument(link, {"COM1", {1, 2, 3}, "1.0.0"});
        std::string unsent; // the socket's outgoing buffer: the client never reads it
        unsent.reserve(std::size_t(ctl::kUnreadAnswers + kLargestAnswer));
        auto session = instrument.open(
            [&unsent](const std::string &text) {
                FUZZ_CHECK(!text.empty() && text.back() == '\n');
                unsent += text;
            },
            [&unsent] { return qint64(unsent.size()) < ctl::kUnreadAnswers; });
        ctl::ScpiLines lines(instrument, session);
        std::int64_t most = 0;
        fuzz::flood(
            data + 1, size - 1, piece, kFlood,
            [&](const std::uint8_t *bytes, std::size_t n) {
                lines.receive(QByteArray(reinterpret_cast<const char *>(bytes), qsizetype(n)));
                instrument.pump();
                return true;
            },
            [&] {
                FUZZ_CHECK(qint64(unsent.size()) < ctl::kUnreadAnswers + kLargestAnswer);
                FUZZ_CHECK(session->waitingLines() <= ctl::ScpiLines::kWaitingLines + 1);
                most = std::max(most, fuzz::heapBytes() - before);
                if (most > kHeld) {
                    std::fprintf(stderr, "the server holds %lld bytes for one connection\n",
                                 static_cast<long long>(most));
                }
                FUZZ_CHECK(most <= kHeld);
            });
        lines.end();
        instrument.pump();
        FUZZ_CHECK(!instrument.busy());
        instrument.close(session);
    }
    return 0;
}
