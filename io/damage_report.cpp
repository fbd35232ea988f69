#include "io/damage_report.h"

#include <cinttypes>

namespace qmz {

std::string clockTime(int64_t sampleFrame, uint32_t sampleRate) {
    const double seconds = sampleRate > 0 ? static_cast<double>(sampleFrame) / sampleRate : 0.0;
    const int minutes = static_cast<int>(seconds / 60.0);
    char text[32];
    std::snprintf(text, sizeof text, "%d:%06.3f", minutes, seconds - 60.0 * minutes);
    return text;
}

int64_t listDamagedRanges(std::FILE* out, const char* program, const std::string& path,
                          uint32_t sampleRate, const std::vector<DamagedSpan>& ranges,
                          const char* suffix) {
    int64_t lost = 0;
    for (const DamagedSpan& r : ranges) {
        std::fprintf(out,
                     "%s: %s: damaged: sample frames %" PRId64 " to %" PRId64 " (%s to %s)%s\n",
                     program, path.c_str(), r.first, r.end - 1,
                     clockTime(r.first, sampleRate).c_str(), clockTime(r.end, sampleRate).c_str(),
                     suffix);
        lost += r.end - r.first;
    }
    return lost;
}

}  // namespace qmz
