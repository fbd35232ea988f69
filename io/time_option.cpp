#include "io/time_option.h"

#include <cmath>

namespace qmz {
namespace {

// Digits, optionally a point and more digits; at least one digit overall.
std::optional<double> parseDecimal(std::string_view text) {
    double value = 0;
    bool digits = false;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, digits = true)
        value = value * 10 + (text[i] - '0');
    if (i < text.size() && text[i] == '.') {
        double scale = 0.1;
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, scale /= 10) {
            value += (text[i] - '0') * scale;
            digits = true;
        }
    }
    if (!digits || i != text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<double> parseTimeOption(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return parseDecimal(text);
    const std::string_view minutes = text.substr(0, colon);
    const std::optional<double> seconds = parseDecimal(text.substr(colon + 1));
    if (minutes.empty() || minutes.find_first_not_of("0123456789") != std::string_view::npos ||
        minutes.size() > 6 || !seconds || *seconds >= 60)
        return std::nullopt;
    const std::optional<double> m = parseDecimal(minutes);
    return *m * 60 + *seconds;
}

int64_t sampleFrameAt(double seconds, uint32_t sampleRate) {
    const double frames = std::round(seconds * sampleRate);
    return frames >= 9.0e18 ? INT64_MAX : static_cast<int64_t>(frames);
}

}  // namespace qmz
