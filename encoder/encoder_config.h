// What a quality preset means to the frame loop, worked out once from the
// preset's record so that the loop reads each choice by name.
#pragma once

#include "encoder/presets.h"
#include "encoder/psychoacoustic_model.h"
#include "encoder/quantizer.h"

namespace qmz {

struct EncoderConfig {
    PsyConfig psy;
    QuantizerSettings quantizer;
    bool shortBlocksAllowed = true;  // false: every frame is long, whatever the model asks
    bool midSide = false;            // stereo coded as mid and side
};

EncoderConfig encoderConfigOf(const PresetParams& preset);

}  // namespace qmz
