// The masking estimate of the quality mode.
#include "encoder/quality_mask.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "common/band_tables.h"
#include "encoder/psychoacoustic_model.h"

namespace qmz {
namespace {

// The masking model of the quality mode, per scalefactor band of one block
// shape: where the band lies on the Bark scale, how much of each band's
// energy per line reaches it (spreading of 27 dB/Bark downward and 24 dB/Bark
// upward, normalised so that a flat spectrum is its own smoothed spectrum),
// and the threshold in quiet per line, relative to its lowest value.
constexpr double kSampleRate = 44100.0;

template <int B>
struct MaskTables {
    std::array<double, B> barkWidth;
    std::array<double, B> longLinesPerQuarterBark;
    std::array<double, B> quietPerLine;
    std::array<std::array<double, B>, B> spread;  // [target][masker]
};

double barkOf(double hz) {
    return 7.0 * std::asinh(hz / 650.0);
}

// Threshold in quiet in dB (an approximation of published hearing
// thresholds), above its minimum near 3.3 kHz.
double quietDb(double hz) {
    const double f = std::max(hz, 20.0) / 1000.0;
    const double db = 3.64 * std::pow(f, -0.8) - 6.5 * std::exp(-0.6 * (f - 3.3) * (f - 3.3)) +
                      1e-3 * std::pow(f, 3.6);
    return std::min(db + 5.0, 120.0);
}

template <int B>
MaskTables<B> buildMaskTables(const std::array<int, B + 1>& edges, double hzPerLine) {
    MaskTables<B> t{};
    std::array<double, B> centre{};
    for (int s = 0; s < B; ++s) {
        const double low = edges[s] * hzPerLine, high = edges[s + 1] * hzPerLine;
        centre[s] = barkOf(0.5 * (low + high));
        t.barkWidth[s] = barkOf(high) - barkOf(low);
        t.longLinesPerQuarterBark[s] = (high - low) / (kSampleRate / 2048.0) / (4.0 * t.barkWidth[s]);
        double quiet = 1e300;
        for (int k = edges[s]; k < edges[s + 1]; ++k)
            quiet = std::min(quiet, quietDb((k + 0.5) * hzPerLine));
        t.quietPerLine[s] = std::pow(10.0, quiet / 10.0);
    }
    for (int s = 0; s < B; ++s) {
        double sum = 0.0;
        for (int m = 0; m < B; ++m) {
            const double dz = centre[s] - centre[m];
            const double db = dz >= 0 ? -24.0 * dz : 27.0 * dz;
            t.spread[s][m] = std::pow(10.0, db / 10.0) * t.barkWidth[m];
            sum += t.spread[s][m];
        }
        for (int m = 0; m < B; ++m) t.spread[s][m] /= sum;
    }
    return t;
}

const MaskTables<kLongBandCount>& longMask() {
    static const auto t = buildMaskTables<kLongBandCount>(longBandEdges, kSampleRate / 2048.0);
    return t;
}
const MaskTables<kShortBandCount>& shortMask() {
    static const auto t = buildMaskTables<kShortBandCount>(shortBandEdges, kSampleRate / 256.0);
    return t;
}

// Allowed noise per band: the smoothed energy per line times the band's
// lines, scaled by the quality; bands wide in Bark may carry more (a
// listener sums noise over Bark, not over bands), tonal bands less; never
// below the threshold in quiet.
template <int B>
void bandAllowances(const MaskTables<B>& t, const QualityTuning& tuning, const int* edges,
                    const double* energy, const double* unpredictability, int bands,
                    double linesScale, double* allowed) {
    std::array<double, B> density{};
    for (int m = 0; m < B; ++m) density[m] = energy[m] / (edges[m + 1] - edges[m]);
    for (int s = 0; s < bands; ++s) {
        double smoothed = 0.0;
        for (int m = 0; m < B; ++m) smoothed += t.spread[s][m] * density[m];
        const int width = edges[s + 1] - edges[s];
        const double tonality = std::clamp(tonalityIndex(unpredictability[s]), 0.0, 1.0);
        const double scale = tuning.noiseScale * std::pow(t.longLinesPerQuarterBark[s], tuning.tilt) *
                             std::pow(10.0, -0.1 * tuning.tonalDb * tonality);
        const double quiet = tuning.quietScale * linesScale * t.quietPerLine[s];
        allowed[s] = std::max(scale * smoothed, quiet) * width;
    }
}

}  // namespace

void allowedNoise(const QualityTuning& tuning, bool isLong, const double* energy,
                  const double* unpredictability, int bands, double linesScale, double* allowed) {
    if (isLong) {
        bandAllowances(longMask(), tuning, longBandEdges.data(), energy, unpredictability, bands,
                     linesScale, allowed);
    } else {
        bandAllowances(shortMask(), tuning, shortBandEdges.data(), energy, unpredictability, bands,
                     linesScale, allowed);
    }
}

}  // namespace qmz
