// Quantiser: one block of MDCT lines to a global gain, scalefactors and
// integer lines.
//
// All lines of a scalefactor band share the step 2^((globalGain - sf) / 4).
// The global gain is estimated from the block's peak; each band's scalefactor
// is then searched upward from 0 until the band's squared quantisation error
// fits the noise the psychoacoustic model allows it. Bands that end up all
// zero and sound like noise become noise bands (scalefactor 100 + level),
// which the decoder fills with random values.
#pragma once

#include <array>
#include <cstdint>

#include "common/band_tables.h"

namespace qmz {

// The two conditions the quantiser reports. Encoding continues after both.
enum class QuantizerEvent : uint8_t {
    SoftClip,  // a line would exceed 1023: the band's allowance is raised by 1.25, search restarts
    QuantLimit,  // a band cannot meet its allowance even at scalefactor 89
};

// The console text the encoder prints for an event ("Soft clip\n", ...).
const char* quantizerEventText(QuantizerEvent event);

// Receives every event in the order it happens, once per occurrence.
class QuantizerEventSink {
  public:
    virtual void onQuantizerEvent(QuantizerEvent event) = 0;

  protected:
    ~QuantizerEventSink() = default;
};

// Lines of the most recent search. Values a search does not reach (above the
// coded lines, or behind an early stop at the scalefactor limit) keep what an
// earlier call left, so this lives with the stream, not with the call.
// partialBands counts the bands whose search ended without a complete pass
// (a quant limit, say): only such a band's lines can hold what an earlier
// call left, which tells a caller when the carried lines matter.
struct QuantizerState {
    std::array<int32_t, kFrameLength> lines{};
    int64_t partialBands = 0;
};

// Scalefactor search over all bands of one block, band by band in increasing
// order. absX: |x| of the block; allowedNoise: per band, raised in place by
// every soft clip of that band; q: line array, written; scalefactors: written
// for every band; edges: bandCount + 1 band edges. globalGain must be in
// 12..139. Afterwards every band's squared error is at most its (possibly
// raised) allowance, unless a QuantLimit event was reported for it. Returns
// the number of bands whose last pass stopped before the band's end, whose
// lines therefore keep earlier values from some line on.
int searchScalefactors(const double* absX, double* allowedNoise, int32_t* q, int32_t* scalefactors,
                       int globalGain, const int* edges, int bandCount, QuantizerEventSink* sink);

// What a quality preset sets for the quantiser.
struct QuantizerSettings {
    float maskScale = 1.0f;       // multiplies every band's allowed noise
    int gainOffset = 20;          // lowers the estimated global gain (presets use 8..24)
    double ratioFloor = 0.00001;  // smallest masking ratio accepted
};

// One block to quantise: its MDCT lines (1024 for a long block, 128 for a
// short one) and, per band, the psychoacoustic model's masking ratio and
// energy-weighted unpredictability.
struct BlockToQuantize {
    BlockShape shape;
    const double* lines;
    const double* ratio;
    const double* unpredictability;
};

// Quantises one block: 48 bands for a long block, 13 for a short one. Every
// band's masking ratio is raised to the settings' floor (on a copy: the
// model's results stay as they are). A band left without lines becomes a
// noise band where its tonality index is below 0.1, not from the lowest
// bands. A short block fills the first 13 scalefactors and 116 lines of out
// and zeroes the rest. Lines are expected on the MDCT scale of 16-bit input;
// magnitudes above 1e10 are treated as 1e10 and values that are not numbers
// as 0, so that no input can drive the gain or a line out of its range.
// sink may be null.
void quantizeBlock(QuantizerState& state, const BlockToQuantize& block,
                   const QuantizerSettings& settings, QuantizedBlock& out,
                   QuantizerEventSink* sink);

}  // namespace qmz
