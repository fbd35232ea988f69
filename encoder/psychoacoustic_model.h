// Psychoacoustic model: how much quantisation noise each scalefactor band
// may carry, and whether a frame should be coded with short blocks.
//
// Every call analyses one channel's newest 1024 samples twice over: once
// with a 2048-point FFT (100 partitions on a Bark scale) and eight times with
// a 256-point FFT (14 partitions), one per 128-sample eighth. Each analysis
// predicts every bin from the two previous analyses of its resolution; the
// prediction error gives a tonality per partition, tonal partitions require
// 18 dB of signal-to-mask ratio and noisy ones 6 dB. Partition levels are
// spread over their neighbours (30 dB/Bark downward, level-dependent upward),
// limited against the previous threshold (pre-echo control) and raised to an
// absolute floor chosen by the quality preset. The results per scalefactor
// band are the masking ratio (allowed noise over band energy) and the
// band's energy-weighted unpredictability, which the quantiser reads one
// frame later (it turns the latter into a tonality index only for the few
// bands that could become noise bands).
#pragma once

#include <array>
#include <cstdint>

#include "common/band_tables.h"
#include "encoder/block_decision.h"
#include "encoder/psy_tables.h"

namespace qmz {

// How a quality preset runs the model.
struct PsyConfig {
    PsyFloorKind floor = PsyFloorKind::Flat;
    // Every threshold is the floor alone: the spreading is not worked out
    // and no frame asks for short blocks.
    bool floorOnly = false;
    double shortPreEchoFactor = kShortPreEchoFactor;  // growth allowed per short analysis
    double attackRatioAlone = kAttackRatioAlone;  // energy ratio that alone asks for short blocks
    // Above 0: a rise of one short band's energy by this ratio also asks for
    // short blocks (BandOnsets).
    double bandOnsetRatio = 0.0;
};

// The model's results for one channel and frame.
struct PsyBandResults {
    std::array<double, kLongBandCount> longRatio;
    std::array<double, kLongBandCount> longUnpredictability;
    std::array<std::array<double, kShortBandCount>, kShortBlocksPerFrame> shortRatio;
    std::array<std::array<double, kShortBandCount>, kShortBlocksPerFrame> shortUnpredictability;
};

// What one analysis yields before the threshold recursion; it depends on
// the input samples alone (this analysis's and the two before it), so frames
// far apart can be analysed this far independently.
template <int P, int B>
struct PsySpreadResults {
    // Threshold per partition before pre-echo control and floor: the spread
    // masking threshold, or for the lowest partitions a fixed fraction of
    // their own energy.
    std::array<double, P> threshold;
    std::array<double, B> bandEnergy;        // energy per scalefactor band
    std::array<double, B> unpredictability;  // energy-weighted, per band
};

// The sample-only results of one channel and frame: the long analysis and
// the eight short ones.
struct PsySpectralResults {
    PsySpreadResults<kLongPartitionCount, kLongBandCount> longResults;
    std::array<PsySpreadResults<kShortPartitionCount, kShortBandCount>, kShortBlocksPerFrame>
        shortResults;
};

// History of one channel at one resolution (N-point FFT, P partitions).
// Spectra are kept as magnitudes and unit phase vectors: the prediction
// needs only cos and sin of the phases, never the angles themselves.
template <int N, int P>
struct PsyChannelState {
    static constexpr int kBins = N / 2;
    std::array<double, N> inputBuffer;           // newest N scaled samples, in two halves
    int newestHalf;                              // the half holding the newest: 0 or 1
    std::array<double, 3 * kBins> magnitude;     // three newest spectra, one slot each
    std::array<double, 3 * kBins> phaseCos;      // cos of the phase, same slots
    std::array<double, 3 * kBins> phaseSin;      // sin of the phase, same slots
    int spectrumSlot;                            // slot of the newest spectrum: 0, 1 or 2
    std::array<double, 2 * P> thresholdHistory;  // newest and previous partition thresholds
    int thresholdSlot;                           // slot of the newest thresholds: 0 or 1

    const double* newestThresholds() const { return thresholdHistory.data() + thresholdSlot * P; }
};

using LongPsyChannelState = PsyChannelState<kLongFftLength, kLongPartitionCount>;
using ShortPsyChannelState = PsyChannelState<kShortFftLength, kShortPartitionCount>;

// Spreading terms are gathered into lists of at most this many.
inline constexpr int kSpreadTermCapacity = 512;

// Working arrays of one analysis, part of the stream state so that a call
// allocates nothing. After a call, longUnpredictability holds the long
// analysis's per-bin unpredictability and shortUnpredictability that of
// short analysis 7; the other arrays hold short analysis 7's values.
struct PsyWork {
    std::array<double, kLongFftLength> fft;
    std::array<double, kLongFftLength / 2> power;  // r[k]^2 of the newest spectrum
    std::array<double, kLongFftLength / 2> longUnpredictability;
    std::array<double, kShortFftLength / 2> shortUnpredictability;
    // level: dB above the threshold in quiet, -infinity for a partition too
    // quiet to mask anything.
    std::array<double, kMaxPartitionCount> energy, snr, level, spread;
    // Spreading terms waiting for their powers: level in dB, target partition.
    std::array<double, kSpreadTermCapacity> spreadLevel, spreadTerm;
    std::array<uint8_t, kSpreadTermCapacity> spreadTarget;
    static_assert(kMaxPartitionCount <= 256, "partition index kept in a byte");
    PsySpectralResults spectral;  // of the latest call
};

// The absolute floor of one resolution, fixed by the first analysis.
template <int P>
struct PsyFloor {
    bool built;
    std::array<double, P> values;
};

// Everything the model keeps for one stream: both channels' histories at
// both resolutions and the floor tables. One per encoder session.
struct PsyState {
    std::array<LongPsyChannelState, kMaxChannels> longChannels;
    std::array<ShortPsyChannelState, kMaxChannels> shortChannels;
    PsyFloor<kLongPartitionCount> longFloor;
    PsyFloor<kShortPartitionCount> shortFloor;
    // Each channel's short band energies of the last short analysis the
    // threshold recursion saw, for the band onset test.
    std::array<std::array<double, kShortBandCount>, kMaxChannels> lastShortEnergy;
    // Whether a channel's last band onset came too late in its frame for
    // that frame's short blocks: the next frame is asked for them too.
    std::array<bool, kMaxChannels> onsetForNext;
    PsyWork work;

    PsyState();  // as after psyResetState
};

// Builds the constant tables now, so that the first frame does not pay for
// them. Optional and idempotent.
void psyInit();

// Back to the start of a stream: silent histories, every threshold 90.0,
// floor tables not built.
void psyResetState(PsyState& state);

// Silent spectral histories only (what psySpectralAnalysis uses); the
// threshold recursion and the floors stay as they are.
void psyResetSpectra(PsyState& state);

// Analyses the 1024 new samples of one channel (16-bit PCM units), writes
// the band results and returns true when the channel asks for short blocks.
// The floor tables are built by the first call with that call's config.
// A channel other than 0 or 1 returns false and touches nothing.
bool psyAnalyzeChannel(PsyState& state, const double* newSamples, PsyBandResults& out, int channel,
                       const PsyConfig& config);

// The two halves of psyAnalyzeChannel. The first updates only the channel's
// spectral history and depends on nothing but the samples: a state reset and
// fed the three frames before some frame analyses that frame exactly as a
// state fed the whole stream does (the threaded encoder analyses segments of
// the stream on several threads this way). The second runs the threshold
// recursion (pre-echo control against the previous thresholds, the floor)
// and decides the request; it must see every frame of the stream in order.
// Channels other than 0 and 1 are refused as by psyAnalyzeChannel. Under
// config.floorOnly the spread thresholds are left at zero: nothing reads them.
void psySpectralAnalysis(PsyState& state, const double* newSamples, PsySpectralResults& out,
                         int channel, const PsyConfig& config);
bool psyThresholdAnalysis(PsyState& state, const PsySpectralResults& in, PsyBandResults& out,
                          int channel, const PsyConfig& config);

// How much of a frame psyWarmUp feeds into a channel's spectral history.
enum class PsyWarmUpDepth : uint8_t {
    Samples,       // its samples only
    LongSpectrum,  // also its long spectrum
    ShortSpectra,  // also its last two short spectra
};

// Feeds one frame into the channel's spectral history only as far as the
// analysis of a later frame needs it. After a reset and frames k - 3, k - 2,
// k - 1 fed at depths Samples, LongSpectrum, ShortSpectra,
// psySpectralAnalysis of frame k gives exactly what it gives after the
// whole stream.
void psyWarmUp(PsyState& state, const double* newSamples, int channel, PsyWarmUpDepth depth);

// A band's tonality index from its energy-weighted unpredictability y:
// -0.299 - 0.43 ln y, and 1 (tonal) where y is not positive.
double tonalityIndex(double unpredictability);

}  // namespace qmz
