// The variable-rate encoder mode: the same stream syntax as the presets, but
// each band's quantiser step aimed at a constant noise-to-mask ratio, a
// global gain set from the noise allowed rather than from the peak, and an
// audio bandwidth that narrows as the quality drops.
#pragma once

#include <functional>

#include "encoder/frame_coder.h"
#include "encoder/presets.h"

namespace qmz {

inline constexpr double kMinQuality = 0.0;
inline constexpr double kMaxQuality = 10.0;
// The rate control may go beyond the user's scale, the same steps further
// on, where sparse music needs it to reach the top rates.
inline constexpr double kMaxRateControlQuality = 22.0;

// What a quality value sets, worked out once.
struct QualityTuning {
    double noiseScale;  // allowed noise over the smoothed signal energy of a band
    double tonalDb;     // extra signal-to-noise a tonal band needs, dB
    double quietScale;  // threshold in quiet relative to the ear's own noise
    int longLines;      // lines coded in a long block (the audio bandwidth)
};

// quality is clamped to kMinQuality..kMaxRateControlQuality; fractions are allowed.
QualityTuning qualityTuningOf(double quality);

// How the psychoacoustic model runs under the quality mode; midSide codes
// stereo as mid and side.
PresetParams qualityModeModel(bool midSide = false);

// Whether the quality mode codes a stereo stream as mid and side, from the
// energies of the sum and the difference of its channels over the stream:
// when one carries far less than the other (near-mono, or anti-phase), it
// costs few bits there. Between, left and right keep their own masking.
bool prefersMidSide(double sumEnergy, double differenceEnergy);

// The quality that gives about `kbps` on typical music, for a single pass.
double initialQualityForRate(int kbps);

// The quality whose rate (kbit/s, as `rateAt` measures a whole pass) comes
// to `kbps`: from initialQualityForRate, moved by the secant on the
// logarithm of the rate (bisecting where the secant leaves the qualities
// known to lie on either side), until a pass lands within 1.5 % of it or
// eight passes have run; the quality of the closest pass. 0 or kMaxRateControlQuality
// when the rate lies beyond what they give.
double searchQualityForRate(int kbps, const std::function<double(double)>& rateAt);

class QualityPolicy final : public EncoderPolicy {
  public:
    explicit QualityPolicy(double quality) : tuning_(qualityTuningOf(quality)) {}
    bool wantsShortBlocks(bool modelRequest) const override { return modelRequest; }
    // Writes every scalefactor and line of `out`; the state's carried lines
    // are neither read nor written.
    void quantise(QuantizerState& state, const BlockToQuantize& block, QuantizedBlock& out,
                  QuantizerEventSink* sink) const override;

  private:
    QualityTuning tuning_;
};

}  // namespace qmz
