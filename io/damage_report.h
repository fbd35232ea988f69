// The damaged ranges of a decode through damage, as qmzdec and qmzinfo list
// them on the console.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "io/segmented_decode.h"

namespace qmz {

// "m:ss.sss" of a sample frame at `sampleRate` (0:00.000 for a rate of 0).
std::string clockTime(int64_t sampleFrame, uint32_t sampleRate);

// One line per range on `out`: "PROGRAM: PATH: damaged: sample frames A to B
// (m:ss.sss to m:ss.sss)" and `suffix`. Returns the sample frames the ranges
// hold.
int64_t listDamagedRanges(std::FILE* out, const char* program, const std::string& path,
                          uint32_t sampleRate, const std::vector<DamagedSpan>& ranges,
                          const char* suffix);

}  // namespace qmz
