// Psychoacoustic model: one long and eight short analyses per call.
//
// Unpredictability. Each bin is predicted by linear extrapolation of
// magnitude and phase from the two previous analyses of the same resolution:
// r^ = 2 r1 - r2 and phi^ = 2 phi1 - phi2. The prediction error, normalised
// by r + |r^|, is near 0 for a stationary sinusoid and near 1 for noise.
// Phases are kept as unit vectors, so that exp(i phi^) = u1 * u1 * conj(u2)
// needs no trigonometry; a bin of zero magnitude keeps the direction that
// atan2 gives its signed zeros (0 or pi).
//
// Spreading. A masker j contributes 10^(v / 10) to target i where its spread
// level v exceeds 1 dB. v falls off monotonically with the Bark distance on
// either side, so the loop walks outward from each masker and stops at the
// first target it no longer reaches; maskers whose own level minus SNR is at
// most 1 dB reach nothing. Every target still receives its contributions in
// increasing masker order, so the sums are those of the full double loop.
#include "encoder/psychoacoustic_model.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/cpu_features.h"
#include "common/fft.h"
#include "encoder/bin_prediction.h"
#include "encoder/block_decision.h"
#include "encoder/libm_pow10.h"

namespace qmz {
namespace {

constexpr double kThresholdStart = 90.0;
constexpr double kLowPartitionFraction = 0.003;
constexpr double kLowerSlope = 30.0;  // dB per Bark towards lower frequencies
constexpr int kFirstAttackBand = 2;   // short bands 2..12: bins 8..115

template <int N, int P>
void resetSpectra(PsyChannelState<N, P>& s) {
    s.inputBuffer.fill(0.0);
    s.newestHalf = 1;
    s.magnitude.fill(0.0);
    s.phaseCos.fill(1.0);
    s.phaseSin.fill(0.0);
    s.spectrumSlot = 0;
}

template <int N, int P>
void resetChannel(PsyChannelState<N, P>& s) {
    resetSpectra(s);
    s.thresholdHistory.fill(kThresholdStart);
    s.thresholdSlot = 0;
}

template <int P>
void ensureFloor(PsyFloor<P>& floor, const PsyTables& t, PsyFloorKind kind) {
    if (floor.built) return;
    buildFloorTable(t, kind, floor.values.data());
    floor.built = true;
}

// Takes in the N / 2 new samples: they replace the older half of the input
// buffer, whose halves take turns at being the newer one.
template <int N, int P>
void shiftIn(const PsyTables& t, PsyChannelState<N, P>& s, const double* x) {
    constexpr int M = N / 2;
    s.newestHalf ^= 1;
    double* newest = s.inputBuffer.data() + s.newestHalf * M;
    for (int i = 0; i < M; ++i) newest[i] = x[i] * t.inputScale;
}

// Shifts in the new samples, windows the newest N and transforms them into
// w.fft (packed real spectrum).
template <int N, int P>
void transformInput(const PsyTables& t, PsyChannelState<N, P>& s, const double* x, PsyWork& w) {
    constexpr int M = N / 2;
    shiftIn(t, s, x);
    const double* older = s.inputBuffer.data() + (s.newestHalf ^ 1) * M;
    const double* newer = s.inputBuffer.data() + s.newestHalf * M;
    double* a = w.fft.data();
    for (int i = 0; i < M; ++i) a[i] = older[i] * t.window[i];
    for (int i = 0; i < M; ++i) a[M + i] = newer[i] * t.window[M + i];
    realFft(N, a);
}

// Stores the new spectrum in the next history slot and writes r[k]^2 and the
// unpredictability c[k] of every bin.
template <int N, int P>
void predictSpectrum(PsyChannelState<N, P>& s, const double* a, double* power, double* c) {
    constexpr int M = N / 2;
    static_assert(M % 4 == 0);
    s.spectrumSlot = s.spectrumSlot == 2 ? 0 : s.spectrumSlot + 1;
    const PredictionBins bins{a,
                              M,
                              s.magnitude.data(),
                              s.phaseCos.data(),
                              s.phaseSin.data(),
                              s.spectrumSlot * M,
                              (s.spectrumSlot == 0 ? 2 : s.spectrumSlot - 1) * M,
                              (s.spectrumSlot == 2 ? 0 : s.spectrumSlot + 1) * M,
                              power,
                              c};
#if defined(QMZ_AVX_PATHS)
    if (cpuHasAvx()) return predictBinsAvx(bins);
#endif
#if defined(__SSE2__)
    if (useSse2()) return predictBins<F64x2>(bins);
#endif
    predictBins<F64x1>(bins);
}

// Partition energy, required SNR (6 dB noise-like .. 18 dB tonal) and level
// above the threshold in quiet.
void partitionLevels(const PsyTables& t, const double* power, const double* c, PsyWork& w,
                     double* energy) {
    for (int b = 0; b < t.partitionCount; ++b) {
        double e = 0.0, cw = 0.0, eLevel = 1e-20;
        for (int k = t.start[b]; k < t.start[b] + t.width[b]; ++k) {
            e += power[k];
            cw += power[k] * c[k];
            eLevel += power[k];
        }
        energy[b] = e;
        // The required SNR is at least 6 dB (6 + 12 tone, to rounding), and a
        // partition masks only more than 1 dB above it: one at most 6.99 dB
        // above the threshold in quiet masks nothing whatever its tonality,
        // so its tonality (a logarithm) is not worked out. Nor is its level
        // (another) when it is at most 4.9 times that threshold (6.9 dB):
        // it takes the required SNR of a tone and no level at all.
        const double aboveQuiet = eLevel / t.quietEnergy[b];
        if (aboveQuiet <= 4.9) {
            w.snr[b] = 18.0;
            w.level[b] = -std::numeric_limits<double>::infinity();
            continue;
        }
        const double cb = cw / e;
        const double level = 10.0 * std::log10(aboveQuiet);
        // The logarithm is not needed either where the clamp to 0..1 decides:
        // -0.299 - 0.43 ln(cb) is below -0.0009 from cb = 0.5 up and above
        // 1.08 up to cb = 0.04, margins far beyond any rounding.
        double tone = 1.0;
        if (cb > 0.0 && !(level <= 6.99)) {
            if (cb >= 0.5) {
                tone = 0.0;
            } else if (cb > 0.04) {
                tone = -0.299 - 0.43 * std::log(cb);
                if (tone > 1.0)
                    tone = 1.0;
                else if (tone < 0.0)
                    tone = 0.0;
            }
        }
        w.snr[b] = 6.0 * (1.0 - tone) + 18.0 * tone;
        w.level[b] = level;
    }
}

// Adds the spreading terms gathered so far to their sums (in the order they
// were gathered) and empties the list.
void addSpreadTerms(PsyWork& w, int& terms) {
    // Whole groups of four are evaluated fastest; the padding (10 dB, which
    // never needs the library) is not summed.
    static_assert(kSpreadTermCapacity % 4 == 0);
    const int padded = (terms + 3) & ~3;
    std::fill(w.spreadLevel.begin() + terms, w.spreadLevel.begin() + padded, 10.0);
    libmDecibelsToPower(w.spreadLevel.data(), w.spreadTerm.data(), padded);
    for (int k = 0; k < terms; ++k) w.spread[w.spreadTarget[k]] += w.spreadTerm[k];
    terms = 0;
}

// Spread masking threshold of every partition from lowPartitions up
// (before pre-echo control and floor), written to thr; the partitions below
// take a fraction of their own energy instead (spectralPart), so their
// sums are never formed and thr keeps zeros there. Skipping them changes no
// other sum: each target's contributions still arrive in increasing masker
// order, and since v falls monotonically with the distance (bark never
// decreases with the partition index, slope >= 4), the upward walk that
// starts at lowPartitions stops where the full walk would.
void spreadThresholds(const PsyTables& t, PsyWork& w, double* thr) {
    const int count = t.partitionCount;
    const int first = t.lowPartitions;
    // The terms' levels are gathered first and their powers worked out
    // together, a list at a time; a masker adds at most `count` terms.
    static_assert(kSpreadTermCapacity >= kMaxPartitionCount);
    std::fill(w.spread.begin(), w.spread.begin() + count, 0.0);
    int terms = 0;
    for (int j = 0; j < count; ++j) {
        const double top = w.level[j] - w.snr[j];
        if (!(top > 1.0)) continue;
        double slope = 22.0 - 0.2 * w.level[j] + t.slopeTerm[j];
        if (slope < 4.0) slope = 4.0;
        if (terms + count > kSpreadTermCapacity) addSpreadTerms(w, terms);
        for (int i = j - 1; i >= first; --i) {
            const double v = top - kLowerSlope * (t.bark[j] - t.bark[i]);
            if (!(v > 1.0)) break;
            w.spreadLevel[terms] = v;
            w.spreadTarget[terms++] = static_cast<uint8_t>(i);
        }
        for (int i = std::max(j, first); i < count; ++i) {
            const double v = top - slope * (t.bark[i] - t.bark[j]);
            if (!(v > 1.0)) break;
            w.spreadLevel[terms] = v;
            w.spreadTarget[terms++] = static_cast<uint8_t>(i);
        }
    }
    addSpreadTerms(w, terms);
    for (int i = 0; i < count; ++i) thr[i] = w.spread[i] * t.quietEnergy[i];
}

// Every threshold may grow at most by preEcho over the previous analysis and
// is raised to the floor (or replaced by it under floorOnly).
void limitThresholds(const PsyTables& t, const double* floor, double preEcho, bool floorOnly,
                     const double* prev, double* thr) {
    for (int b = 0; b < t.partitionCount; ++b) {
        const double limit = preEcho * prev[b];
        const double m = thr[b] < limit ? thr[b] : limit;
        thr[b] = floor[b] > m ? floor[b] : m;
    }
    if (floorOnly) std::copy(floor, floor + t.partitionCount, thr);
}

// Energy and energy-weighted unpredictability per scalefactor band, the
// bands' edges applied to FFT bins.
void bandUnpredictability(const PsyTables& t, const double* power, const double* c,
                          double* bandEnergy, double* unpredictability) {
    for (int s = 0; s < t.bandCount; ++s) {
        const int a = t.bandEdges[s], b = t.bandEdges[s + 1];
        double en = 0.0, num = 0.0, den = 1e-15;
        for (int k = a; k < b; ++k) {
            en += power[k];
            num += power[k] * c[k];
            den += power[k];
        }
        unpredictability[s] = num / den;
        bandEnergy[s] = en;
    }
}

// Masking ratio per band: allowed noise (the band's width times the lowest
// threshold per bin of its partitions) over band energy.
void bandRatios(const PsyTables& t, const double* thr, const double* bandEnergy, double* ratio) {
    for (int s = 0; s < t.bandCount; ++s) {
        const int a = t.bandEdges[s], b = t.bandEdges[s + 1];
        double lowest = thr[t.bandFirstPartition[s]] / t.width[t.bandFirstPartition[s]];
        for (int p = t.bandFirstPartition[s] + 1; p <= t.bandLastPartition[s]; ++p)
            lowest = std::min(lowest, thr[p] / t.width[p]);
        const double en = bandEnergy[s];
        ratio[s] = en != 0.0 ? (b - a) * lowest / en : 1.0;
    }
}

template <int N, int P, int B>
void spectralPart(const PsyTables& t, PsyChannelState<N, P>& s, const double* x, PsyWork& w,
                  double* unpredictability, bool spread, PsySpreadResults<P, B>& out) {
    transformInput(t, s, x, w);
    predictSpectrum(s, w.fft.data(), w.power.data(), unpredictability);
    partitionLevels(t, w.power.data(), unpredictability, w, w.energy.data());
    if (spread) {
        spreadThresholds(t, w, out.threshold.data());
    } else {
        out.threshold.fill(0.0);
    }
    // The lowest partitions take a fixed fraction of their own energy.
    for (int b = 0; b < t.lowPartitions; ++b)
        out.threshold[b] = kLowPartitionFraction * w.energy[b];
    bandUnpredictability(t, w.power.data(), unpredictability, out.bandEnergy.data(),
                         out.unpredictability.data());
}

template <int N, int P, int B>
void thresholdPart(const PsyTables& t, PsyChannelState<N, P>& s, const PsySpreadResults<P, B>& in,
                   const double* floor, double preEcho, bool floorOnly, double* ratio) {
    const double* prev = s.thresholdHistory.data() + s.thresholdSlot * P;
    s.thresholdSlot ^= 1;
    double* thr = s.thresholdHistory.data() + s.thresholdSlot * P;
    std::copy(in.threshold.begin(), in.threshold.end(), thr);
    limitThresholds(t, floor, preEcho, floorOnly, prev, thr);
    bandRatios(t, thr, in.bandEnergy.data(), ratio);
}

}  // namespace

double tonalityIndex(double unpredictability) {
    return unpredictability > 0.0 ? -0.299 - 0.43 * std::log(unpredictability) : 1.0;
}

PsyState::PsyState() {
    psyResetState(*this);
}

void psyInit() {
    longPsyTables();
    shortPsyTables();
}

void psyResetState(PsyState& state) {
    for (auto& c : state.longChannels) resetChannel(c);
    for (auto& c : state.shortChannels) resetChannel(c);
    state.longFloor.built = false;
    state.longFloor.values.fill(0.0);
    state.shortFloor.built = false;
    state.shortFloor.values.fill(0.0);
    for (auto& e : state.lastShortEnergy) e.fill(0.0);
    state.onsetForNext.fill(false);
}

void psyResetSpectra(PsyState& state) {
    for (auto& c : state.longChannels) resetSpectra(c);
    for (auto& c : state.shortChannels) resetSpectra(c);
}

bool psyAnalyzeChannel(PsyState& state, const double* newSamples, PsyBandResults& out, int channel,
                       const PsyConfig& config) {
    if (channel < 0 || channel >= kMaxChannels) return false;
    psySpectralAnalysis(state, newSamples, state.work.spectral, channel, config);
    return psyThresholdAnalysis(state, state.work.spectral, out, channel, config);
}

void psySpectralAnalysis(PsyState& state, const double* newSamples, PsySpectralResults& out,
                         int channel, const PsyConfig& config) {
    if (channel < 0 || channel >= kMaxChannels) return;
    PsyWork& w = state.work;
    const bool spread = !config.floorOnly;
    spectralPart(longPsyTables(), state.longChannels[channel], newSamples, w,
                 w.longUnpredictability.data(), spread, out.longResults);
    const PsyTables& st = shortPsyTables();
    for (int i = 0; i < kShortBlocksPerFrame; ++i) {
        spectralPart(st, state.shortChannels[channel], newSamples + kShortBlockLength * i, w,
                     w.shortUnpredictability.data(), spread, out.shortResults[i]);
    }
}

void psyWarmUp(PsyState& state, const double* newSamples, int channel, PsyWarmUpDepth depth) {
    if (channel < 0 || channel >= kMaxChannels) return;
    PsyWork& w = state.work;
    const PsyTables& lt = longPsyTables();
    auto& longState = state.longChannels[channel];
    if (depth == PsyWarmUpDepth::Samples) {
        shiftIn(lt, longState, newSamples);
        return;
    }
    transformInput(lt, longState, newSamples, w);
    predictSpectrum(longState, w.fft.data(), w.power.data(), w.longUnpredictability.data());
    if (depth == PsyWarmUpDepth::LongSpectrum) return;
    // The next frame's short analyses look back at the last two of this one,
    // whose inputs start 128 samples before them.
    const PsyTables& st = shortPsyTables();
    auto& shortState = state.shortChannels[channel];
    shiftIn(st, shortState, newSamples + kShortBlockLength * (kShortBlocksPerFrame - 3));
    for (int i = kShortBlocksPerFrame - 2; i < kShortBlocksPerFrame; ++i) {
        transformInput(st, shortState, newSamples + kShortBlockLength * i, w);
        predictSpectrum(shortState, w.fft.data(), w.power.data(), w.shortUnpredictability.data());
    }
}

bool psyThresholdAnalysis(PsyState& state, const PsySpectralResults& in, PsyBandResults& out,
                          int channel, const PsyConfig& config) {
    if (channel < 0 || channel >= kMaxChannels) return false;
    const PsyTables& lt = longPsyTables();
    ensureFloor(state.longFloor, lt, config.floor);
    thresholdPart(lt, state.longChannels[channel], in.longResults, state.longFloor.values.data(),
                  lt.preEchoFactor, config.floorOnly, out.longRatio.data());
    out.longUnpredictability = in.longResults.unpredictability;

    const PsyTables& st = shortPsyTables();
    ensureFloor(state.shortFloor, st, config.floor);
    AttackEnergies energies;
    // The band onset test runs only where it is asked for (the presets' model
    // skips it).
    const bool watchOnsets = config.bandOnsetRatio > 0.0;
    BandOnsets onsets(state.lastShortEnergy[channel].data(), config.bandOnsetRatio);
    for (int i = 0; i < kShortBlocksPerFrame; ++i) {
        const auto& r = in.shortResults[i];
        if (watchOnsets) onsets.add(r.bandEnergy.data());
        thresholdPart(st, state.shortChannels[channel], r, state.shortFloor.values.data(),
                      config.shortPreEchoFactor, config.floorOnly, out.shortRatio[i].data());
        out.shortUnpredictability[i] = r.unpredictability;
        double blockEnergy = 0.0;
        for (int s = kFirstAttackBand; s < kShortBandCount; ++s) blockEnergy += r.bandEnergy[s];
        energies.add(blockEnergy);
    }
    if (!watchOnsets)
        return attackRequested(out.longRatio.data(), energies, config.attackRatioAlone);
    state.lastShortEnergy[channel] = in.shortResults[kShortBlocksPerFrame - 1].bandEnergy;
    const bool carried = state.onsetForNext[channel];
    state.onsetForNext[channel] = false;
    if (onsets.found()) {
        state.onsetForNext[channel] = onsets.firstAt() >= kLateOnsetAnalysis;
        return true;
    }
    return carried || attackRequested(out.longRatio.data(), energies, config.attackRatioAlone);
}

}  // namespace qmz
