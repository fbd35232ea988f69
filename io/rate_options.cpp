#include "io/rate_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "encoder/presets.h"
#include "encoder/quality_policy.h"

namespace qmz {
namespace {

// The whole of `text` as a finite number.
bool parseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

std::string qualityProblem(const std::string& value) {
    double q = 0.0;
    if (!parseNumber(value, q) || q < kMinQuality || q > kMaxQuality)
        return "--quality " + value + ": expected a number from 0 to 10";
    return {};
}

std::string bitrateProblem(const std::string& value) {
    double n = 0.0;
    if (!parseNumber(value, n) || n != std::floor(n) || n < kMinBitrate || n > kMaxBitrate)
        return "--bitrate " + value + ": expected a whole number of kbit/s from 48 to 320";
    return {};
}

}  // namespace

RateOptions extractRateOptions(const std::vector<std::string>& arguments) {
    RateOptions result;
    std::string preset;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool quality = argument == "--quality", bitrate = argument == "--bitrate";
        if (!quality && !bitrate) {
            if (isPresetName(argument) && preset.empty()) preset = argument;
            result.rest.push_back(argument);
            continue;
        }
        if (i + 1 >= arguments.size()) {
            if (result.error.empty()) result.error = argument + " needs a value";
            continue;
        }
        const std::string& value = arguments[++i];
        const std::string problem = quality ? qualityProblem(value) : bitrateProblem(value);
        if (!problem.empty()) {
            if (result.error.empty()) result.error = problem;
            continue;
        }
        if (quality) {
            result.quality = std::strtod(value.c_str(), nullptr);
        } else {
            result.bitrate = static_cast<int>(std::strtod(value.c_str(), nullptr));
        }
    }
    if (!result.error.empty()) return result;
    if (result.quality >= 0 && result.bitrate > 0) {
        result.error = "--quality and --bitrate cannot be given together";
    } else if ((result.quality >= 0 || result.bitrate > 0) && !preset.empty()) {
        result.error = "the preset " + preset + " cannot be given together with " +
                       (result.quality >= 0 ? "--quality" : "--bitrate");
    }
    return result;
}

}  // namespace qmz
