#include "encoder/presets.h"

#include <cstdio>
#include <iterator>

namespace qmz {
namespace {

struct PresetEntry {
    Preset preset;
    const char* name;
    float maskScale;
    int psyMode;
    int gainOffset;
    double ratioFloor;  // < 0: unchanged
    int midSide;        // < 0: unchanged
};

// In the order of Preset.
constexpr PresetEntry kPresets[] = {
    {Preset::AAA, "-AAA", 0.5f, 4, 24, -1.0, -1}, {Preset::AA, "-AA", 0.25f, 5, 24, -1.0, -1},
    {Preset::A, "-A", 1.0f, 5, 20, -1.0, -1},     {Preset::B, "-B", 1.0f, 0, 12, -1.0, -1},
    {Preset::C, "-C", 1.0f, 1, 8, 0.001, -1},     {Preset::D, "-D", 1.0f, 2, 8, 0.001, -1},
    {Preset::E, "-E", 1.0f, 3, 8, 0.001, 1},
};

constexpr bool inPresetOrder() {
    for (std::size_t i = 0; i < std::size(kPresets); ++i)
        if (static_cast<std::size_t>(kPresets[i].preset) != i) return false;
    return true;
}
static_assert(inPresetOrder());

PresetParams applyEntry(const PresetEntry& p, PresetParams params) {
    params.maskScale = p.maskScale;
    params.psyMode = p.psyMode;
    params.gainOffset = p.gainOffset;
    if (p.ratioFloor >= 0) params.ratioFloor = p.ratioFloor;
    if (p.midSide >= 0) params.midSide = p.midSide;
    return params;
}

constexpr int kMaxThreads = 256;

bool parseThreadCount(const std::string& text, int& threads) {
    if (text.empty() || text.size() > 3) return false;
    int value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        value = 10 * value + (ch - '0');
    }
    if (value > kMaxThreads) return false;
    threads = value;
    return true;
}

}  // namespace

PresetParams applyPreset(Preset preset, PresetParams base) {
    return applyEntry(kPresets[static_cast<std::size_t>(preset)], base);
}

EncoderOptions parseEncoderOptions(const std::vector<std::string>& arguments) {
    EncoderOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-td") {
            float seconds;
            if (i + 1 < arguments.size() &&
                std::sscanf(arguments[i + 1].c_str(), "%f", &seconds) == 1) {
                options.clipSeconds = seconds;
            }
            continue;  // the value is matched against the options like any argument
        }
        if (argument == "-j") {
            int threads = 0;
            if (i + 1 < arguments.size() && parseThreadCount(arguments[i + 1], threads))
                options.threads = threads;
            continue;  // as for -td
        }
        for (const PresetEntry& p : kPresets) {
            if (argument == p.name) options.preset = applyEntry(p, options.preset);
        }
    }
    return options;
}

bool isPresetName(const std::string& argument) {
    for (const PresetEntry& p : kPresets)
        if (argument == p.name) return true;
    return false;
}

std::vector<std::string> ignoredEncoderArguments(const std::vector<std::string>& arguments) {
    std::vector<std::string> ignored;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (isPresetName(argument)) continue;
        if ((argument == "-td" || argument == "-j") && i + 1 < arguments.size()) {
            float seconds;
            int threads = 0;
            const std::string& value = arguments[i + 1];
            const bool parsed = argument == "-td"
                                    ? std::sscanf(value.c_str(), "%f", &seconds) == 1
                                    : parseThreadCount(value, threads);
            // A value that is itself an option is matched as one.
            if (parsed && !isPresetName(value) && value != "-td" && value != "-j") ++i;
            continue;
        }
        if (argument == "-td" || argument == "-j") continue;
        ignored.push_back(argument);
    }
    return ignored;
}

}  // namespace qmz
