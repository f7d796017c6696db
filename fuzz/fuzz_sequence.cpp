// Input: a sequence file's bytes for `vantelctl run` (UTF-8, or UTF-16 with its
// byte order mark).
#include "fuzzcheck.h"
#include "sequence/sequence.h"

#include <algorithm>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const sequence::SequenceText decoded = sequence::decodeSequenceText(bytes);
    if (decoded.error) {
        FUZZ_CHECK(decoded.error->line >= 1 && decoded.text.empty());
        FUZZ_CHECK(sequence::parseSequenceFile(bytes).error->message == decoded.error->message);
        return 0;
    }
    const std::string_view text = decoded.text;
    const sequence::ParsedSequence parsed = sequence::parseSequence(text);
    const int lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
    if (parsed.error) {
        FUZZ_CHECK(parsed.error->line >= 1 && parsed.error->line <= lines);
        FUZZ_CHECK(!parsed.error->message.empty());
        return 0;
    }
    const sequence::Sequence &seq = parsed.sequence;
    FUZZ_CHECK(!seq.steps.empty());
    const auto &limits = seq.limits;
    for (std::size_t i = 0; i < seq.steps.size(); ++i) {
        const sequence::SequenceStep &s = seq.steps[i];
        FUZZ_CHECK(s.line >= 1 && s.line <= lines);
        // Every set value the run could send is within the supply and the limit.
        if (s.voltage) {
            FUZZ_CHECK(*s.voltage <= sequence::kLargestVoltageCount);
            FUZZ_CHECK(!limits.voltage || *s.voltage <= *limits.voltage);
        }
        if (s.current) {
            FUZZ_CHECK(*s.current <= sequence::kLargestCurrentCount);
            FUZZ_CHECK(!limits.current || *s.current <= *limits.current);
        }
        if (s.kind == sequence::SequenceStep::Kind::Sweep) {
            FUZZ_CHECK(s.step > 0 && s.ms > 0);
            const auto largest = s.sweepsVoltage ? limits.voltage : limits.current;
            const std::size_t count = s.pointCount();
            FUZZ_CHECK(count >= 1 && s.point(0) == s.from && s.point(count - 1) == s.to);
            for (std::size_t p = 0; p < count; ++p) {
                FUZZ_CHECK(!largest || s.point(p) <= *largest);
            }
        }
        if (s.kind == sequence::SequenceStep::Kind::Repeat) {
            FUZZ_CHECK(s.match > i && s.match < seq.steps.size());
            FUZZ_CHECK(seq.steps[s.match].kind == sequence::SequenceStep::Kind::End);
            FUZZ_CHECK(seq.steps[s.match].match == i && s.count >= 1);
        }
    }
    const auto longest = seq.longestMs();
    FUZZ_CHECK(!longest || (*longest >= 0 && *longest <= sequence::kLongestMs));
    FUZZ_CHECK(seq.plan().size() >= seq.steps.size() + 1);
    for (const auto &warning : seq.warnings(350)) {
        FUZZ_CHECK(warning.line >= 1 && warning.line <= lines && !warning.message.empty());
    }
    return 0;
}
