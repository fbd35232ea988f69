// qmzenc's quality-mode options, taken out of the argument list before the
// presets and the other options are matched, so that a value is never read
// as an option.
//
//   --quality Q   variable rate at quality Q, 0 (smallest) .. 10 (best), fractions allowed
//   --bitrate N   an average of N kbit/s over the file, 48 .. 320
#pragma once

#include <string>
#include <vector>

namespace qmz {

inline constexpr int kMinBitrate = 48;
inline constexpr int kMaxBitrate = 320;

struct RateOptions {
    double quality = -1.0;          // >= 0 when --quality was given
    int bitrate = 0;                // > 0 when --bitrate was given
    std::vector<std::string> rest;  // every other argument, in order
    std::string error;              // empty when the options were good
};

// Splits `arguments` into the rate options and the rest. A missing value, a
// value that is not a number in range, both options together or either
// together with a preset set `error` to a sentence naming the argument.
RateOptions extractRateOptions(const std::vector<std::string>& arguments);

}  // namespace qmz
