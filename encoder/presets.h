// Quality presets and the encoder's command-line options.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmz {

// What a quality preset sets, as the preset table records it (the encoder
// reads it through EncoderConfig). The defaults equal the -A preset.
struct PresetParams {
    float maskScale = 1.0f;  // scales every band's allowed noise
    int psyMode = 5;      // psychoacoustic floor and pre-echo variant; 4 also forbids short blocks
    int gainOffset = 20;  // lowers the estimated global gain
    double ratioFloor = 0.00001;  // smallest masking ratio the quantiser accepts
    int midSide = 0;              // 1: code stereo as mid and side
    // Energy ratio within a frame that alone asks for short blocks (the
    // presets' 30; the quality mode's own).
    double attackRatioAlone = 30.0;
    // Rise of a single short band's energy that asks for short blocks; 0
    // leaves the test out (the presets).
    double bandOnsetRatio = 0.0;
};

// The quality presets, from the finest to the smallest files; the public
// library's QualityPreset lists them in the same order.
enum class Preset : uint8_t { AAA, AA, A, B, C, D, E };

// `base` with the preset's fields applied: a preset sets only its own fields
// (-AAA .. -B leave the ratio floor and mid/side as they are).
PresetParams applyPreset(Preset preset, PresetParams base = {});

struct EncoderOptions {
    PresetParams preset;
    float clipSeconds = -1.0f;  // above 0: code at most this many whole seconds
    int threads = 1;            // encoder threads; 0: one per core. The bytes do not depend on it.
    // The quality mode instead of a preset: at a quality from 0 to 10 when
    // quality >= 0, or aimed at an average of `bitrate` kbit/s when above 0.
    double quality = -1.0;
    int bitrate = 0;
};

// Whether `argument` names a preset ("-A", "-AA", ...).
bool isPresetName(const std::string& argument);

// The arguments parseEncoderOptions ignores, in order: neither a preset nor
// -td or -j, nor the value after either of those when it parsed as one.
std::vector<std::string> ignoredEncoderArguments(const std::vector<std::string>& arguments);

// Applies the options after the two file names, left to right. A preset sets
// only its own fields, so a later preset overrides an earlier one field by
// field; "-td" takes the next argument as seconds (parsed like "%f"; a value
// that does not parse, or a missing one, leaves the clip unchanged), and that
// argument is itself matched against the options. "-j" likewise takes the
// next argument as a thread count (a whole number from 0 to 256; anything
// else leaves the count unchanged). Anything else is ignored.
EncoderOptions parseEncoderOptions(const std::vector<std::string>& arguments);

}  // namespace qmz
