#pragma once

#include "sequence/sequence.h"

#include <cstdint>
#include <optional>
#include <string>

// What the reader, the checks and the plan share, kept out of the public header.
namespace sequence {

// The longest one step, or one repeat or sweep in all, may wait.
constexpr std::int64_t kLongestStepMs = 1000LL * 3600 * 24 * 366; // a year

// A count with `decimals` decimals as text: fixed(1234, 2) is "12.34".
std::string fixed(long long count, int decimals);
// Set values in counts as people read them: "12.34 V", "1.500 A".
std::string voltsText(std::uint16_t count);
std::string ampsText(std::uint16_t count);

// The checks of a whole file once its lines are read: a repeat or sweep that waits
// longer than a year, a set value above the file's limit. The first refusal found.
std::optional<SequenceError> checkSteps(const Sequence &seq);

} // namespace sequence
