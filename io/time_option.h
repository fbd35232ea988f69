// Times on the command line: seconds ("12.5") or minutes and seconds
// ("2:31", "02:31.250"), turned into sample frames.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qmz {

// The time in seconds, or nothing for text that is not one of the forms
// above (a sign, an exponent, empty parts, seconds of 60 or more after
// minutes).
std::optional<double> parseTimeOption(std::string_view text);

// The sample frame at `seconds` at `sampleRate`, rounded to the nearest.
int64_t sampleFrameAt(double seconds, uint32_t sampleRate);

}  // namespace qmz
