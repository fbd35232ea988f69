// Attack test: does a channel's newest frame want short blocks?
//
// Two signs of a transient are combined. The perceptual entropy of the long
// analysis (how many bits the masking ratios of bands 10..47 demand) is high
// for busy frames; the energy ratio between the loudest and the quietest of
// the eight short analyses (bins 8..115 of each) is high when a frame holds a
// sudden onset. A high entropy alone, a high energy ratio alone, or both at a
// moderate level ask for short blocks. The encode loop turns the requests
// into the long / start / short / stop sequence.
#pragma once

#include <array>

#include "common/band_tables.h"

namespace qmz {

// Loudest and quietest short-analysis energies of one frame, collected in
// time order. The quietest starts at 1e12, so blocks louder than that leave
// it there.
struct AttackEnergies {
    double maximum = 0.0;
    double minimum = 1e12;

    void add(double blockEnergy) {
        if (blockEnergy > maximum) maximum = blockEnergy;
        if (blockEnergy < minimum) minimum = blockEnergy;
    }
    double ratio() const { return maximum / (minimum + 0.001); }
};

// Band onsets: a rise of one short band's energy (bands 2..12) by more
// than a bar over the quietest of the short analyses before it, the
// previous frame's last included. A high band's onset hides in the sum over
// all bands while louder, lower bands play on, but a long block spreads its
// noise tens of dB above that band's mask in the quiet before it. Energies
// are raised to kBandOnsetFloor (near the threshold in quiet) first, so
// that a rise out of silence counts only from there.
inline constexpr double kBandOnsetFloor = 100.0;

// A short frame's blocks reach only 576 samples into the frame's own new
// samples; an onset beyond them falls into the long window of the stop
// frame after, which spreads its noise over the hundreds of samples before
// it. An onset in this short analysis (each covers one eighth) or a later
// one asks for the next frame's short blocks too (from analysis 4, 5, 6 or
// 7 on, the tuning music measured the same within 0.05 dB).
inline constexpr int kLateOnsetAnalysis = 6;

class BandOnsets {
  public:
    BandOnsets(const double* lastBefore, double bar) : bar_(bar) {
        for (int s = 0; s < kShortBandCount; ++s) quietest_[s] = floored(lastBefore[s]);
    }
    // The next short analysis's band energies, in time order.
    void add(const double* bandEnergy) {
        for (int s = kFirstBand; s < kShortBandCount; ++s) {
            const double e = floored(bandEnergy[s]);
            if (firstAt_ < 0 && e > bar_ * quietest_[s]) firstAt_ = added_;
            if (e < quietest_[s]) quietest_[s] = e;
        }
        ++added_;
    }
    bool found() const { return firstAt_ >= 0; }
    // The first short analysis (0..7) with an onset.
    int firstAt() const { return firstAt_; }

  private:
    static constexpr int kFirstBand = 2;
    static double floored(double e) { return e > kBandOnsetFloor ? e : kBandOnsetFloor; }
    std::array<double, kShortBandCount> quietest_;
    double bar_;
    int firstAt_ = -1;
    int added_ = 0;
};

// Sum over long bands 10..47 of width x (-ln ratio); longRatio holds 48 values.
double perceptualEntropy(const double* longRatio);

// The decision: entropy above 3000, or energy ratio above 30, or entropy
// above 1000 together with an energy ratio above 10 (all strict).
bool attackDetected(double perceptualEntropy, const AttackEnergies& energies);

// The energy ratio above which a frame asks for short blocks whatever its
// entropy.
inline constexpr double kAttackRatioAlone = 30.0;

// The same decision from the masking ratios themselves: the entropy is
// worked out only where it matters, and its logarithms only where bounds of
// them leave the outcome open. ratioAlone replaces kAttackRatioAlone.
bool attackRequested(const double* longRatio, const AttackEnergies& energies,
                     double ratioAlone = kAttackRatioAlone);

// Turns the requests into block types with one frame of look-ahead: a
// request makes the frame before it a start frame and keeps frames short
// while requests follow; a short run always ends with a stop frame, which
// drops a request arriving just then.
class BlockSequencer {
  public:
    // Given the newest frame's request, the block type of the frame before
    // it; `dropped` tells whether a stop frame dropped the request.
    BlockType next(bool request, bool& dropped);

  private:
    int prevRequest_ = 0;
    int prevPrevRequest_ = 0;
};

}  // namespace qmz
