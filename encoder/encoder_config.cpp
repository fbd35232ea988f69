#include "encoder/encoder_config.h"

namespace qmz {
namespace {

// The preset table's psyMode numbers: modes 0..3 raise the threshold in
// quiet by increasing margins, 4 and 5 use a flat floor; 4 takes the floor
// alone, and 3 lets short thresholds grow faster.
PsyFloorKind floorOf(int psyMode) {
    switch (psyMode) {
        case 0:
            return PsyFloorKind::QuietAmplitude;
        case 1:
            return PsyFloorKind::QuietAmplitudePlus10;
        case 2:
            return PsyFloorKind::QuietEnergyPlus12;
        case 3:
            return PsyFloorKind::QuietEnergyPlus14;
        default:
            return PsyFloorKind::Flat;
    }
}

constexpr int kFloorOnlyMode = 4;
constexpr int kRelaxedShortPreEchoMode = 3;
constexpr double kRelaxedShortPreEchoFactor = 2.0;

}  // namespace

EncoderConfig encoderConfigOf(const PresetParams& preset) {
    EncoderConfig config;
    config.psy.floor = floorOf(preset.psyMode);
    config.psy.floorOnly = preset.psyMode == kFloorOnlyMode;
    if (preset.psyMode == kRelaxedShortPreEchoMode)
        config.psy.shortPreEchoFactor = kRelaxedShortPreEchoFactor;
    config.psy.attackRatioAlone = preset.attackRatioAlone;
    config.psy.bandOnsetRatio = preset.bandOnsetRatio;
    config.quantizer = {preset.maskScale, preset.gainOffset, preset.ratioFloor};
    config.shortBlocksAllowed = !config.psy.floorOnly;
    config.midSide = preset.midSide == 1;
    return config;
}

}  // namespace qmz
