// Input: what a client sends to `vantelctl serve`, lines and all. The instrument
// runs it against supplies that answer at once (or fail, as the input's first
// byte says), and every line must end in answers and errors: no crash, no line
// left unserved, no answer that is not one line, no value out of range sent.
#include "fuzzcheck.h"
#include "instantlink.h"
#include "scpi/instrument.h"

#include <string>
#include <string_view>

using fuzz::InstantLink;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    InstantLink link;
    link.silent = size > 0 && (data[0] & 0x80) != 0;
    scpi::Instrument instrument(link, {"COM1", {1, 2, 3}, "1.0.0"});
    std::size_t answers = 0;
    auto session = instrument.open([&answers](const std::string &text) {
        FUZZ_CHECK(!text.empty() && text.back() == '\n');
        FUZZ_CHECK(text.find('\n') == text.size() - 1);
        ++answers;
    });

    // Lines as the server cuts them: at '\n', too long ones replaced by -223.
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    std::size_t lines = 0;
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\n', start);
        const bool last = end == std::string_view::npos;
        if (last) {
            end = input.size();
        }
        const std::string_view line = input.substr(start, end - start);
        if (line.size() > 4096) {
            instrument.submitError(*session, scpi::err::kTooMuchData, "too long");
        } else {
            instrument.submit(*session, std::string(line));
        }
        ++lines;
        start = end + 1;
    }
    instrument.pump();
    FUZZ_CHECK(!instrument.busy());
    FUZZ_CHECK(!session->working());
    FUZZ_CHECK(answers <= lines);

    // The error queue holds what it may, and *CLS empties it.
    FUZZ_CHECK(session->status.errors.size() <= scpi::ErrorQueue::kCapacity);
    instrument.submit(*session, "*CLS");
    instrument.pump();
    FUZZ_CHECK(session->status.errors.size() == 0 && !instrument.busy());
    return 0;
}
