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
// and the threshold in quiet per line on the MDCT's scale.
constexpr double kSampleRate = 44100.0;
// Energy per quarter-Bark of a 0 dB SPL tone in a long and a short block
// (a full-scale sine comes to about 152 dB in a long block).
constexpr double kLongLevelDb = 58.0;
constexpr double kShortLevelDb = 40.0;
// Where the allowance's floor sits against the ear's own noise, which the
// quality's allowance then scales like any masker's threshold: 10 dB above
// it measured best on the tuning music (lower spent bits on bands the ear
// cannot hear, higher let quiet passages' noise dominate the mean).
constexpr double kQuietTrimDb = 10.0;

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

// The ear's own noise floor per quarter-Bark in dB SPL at the eardrum, and
// the outer and middle ear's weighting in dB: published approximations of
// the threshold in quiet, split the way listening models use them.
double internalNoiseDb(double khz) {
    return 4.0 * 0.364 * std::pow(khz, -0.8);
}
double earWeightDb(double khz) {
    return -0.6 * 3.64 * std::pow(khz, -0.8) + 6.5 * std::exp(-0.6 * (khz - 3.3) * (khz - 3.3)) -
           1e-3 * std::pow(khz, 3.6);
}

// The lowest noise per line a listener could hear in a band, as energy on
// the MDCT's scale: `levelDb` is that scale's energy per quarter-Bark of a
// tone at 0 dB SPL, with full scale played at about 92 dB SPL. The ear's
// floor is halved as a masker's threshold is (3 dB).
double quietEnergyPerLine(double hz, double levelDb, double linesPerQuarterBark) {
    const double khz = std::max(hz, 20.0) / 1000.0;
    const double db = std::min(internalNoiseDb(khz) - earWeightDb(khz), 120.0) - 3.0;
    return std::pow(10.0, (db + levelDb + kQuietTrimDb) / 10.0) / linesPerQuarterBark;
}

template <int B>
MaskTables<B> buildMaskTables(const std::array<int, B + 1>& edges, double hzPerLine,
                              double levelDb) {
    MaskTables<B> t{};
    std::array<double, B> centre{};
    for (int s = 0; s < B; ++s) {
        const double low = edges[s] * hzPerLine, high = edges[s + 1] * hzPerLine;
        centre[s] = barkOf(0.5 * (low + high));
        t.barkWidth[s] = barkOf(high) - barkOf(low);
        t.longLinesPerQuarterBark[s] =
            (high - low) / (kSampleRate / 2048.0) / (4.0 * t.barkWidth[s]);
        const double linesPerQuarterBark = (edges[s + 1] - edges[s]) / (4.0 * t.barkWidth[s]);
        double quiet = 1e300;
        for (int k = edges[s]; k < edges[s + 1]; ++k)
            quiet = std::min(
                quiet, quietEnergyPerLine((k + 0.5) * hzPerLine, levelDb, linesPerQuarterBark));
        t.quietPerLine[s] = quiet;
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
    static const auto t =
        buildMaskTables<kLongBandCount>(longBandEdges, kSampleRate / 2048.0, kLongLevelDb);
    return t;
}
const MaskTables<kShortBandCount>& shortMask() {
    static const auto t =
        buildMaskTables<kShortBandCount>(shortBandEdges, kSampleRate / 256.0, kShortLevelDb);
    return t;
}

// Allowed noise per band: the smoothed energy per line times the band's
// lines, scaled by the quality; bands wide in Bark may carry more (a
// listener sums noise over Bark, not over bands), tonal bands less; never
// below the threshold in quiet.
template <int B>
void bandAllowances(const MaskTables<B>& t, const QualityTuning& tuning, const int* edges,
                    const double* energy, const double* unpredictability, int bands,
                    double* allowed) {
    std::array<double, B> density{};
    for (int m = 0; m < B; ++m) density[m] = energy[m] / (edges[m + 1] - edges[m]);
    for (int s = 0; s < bands; ++s) {
        double smoothed = 0.0;
        for (int m = 0; m < B; ++m) smoothed += t.spread[s][m] * density[m];
        const int width = edges[s + 1] - edges[s];
        const double tonality = std::clamp(tonalityIndex(unpredictability[s]), 0.0, 1.0);
        const double scale = tuning.noiseScale *
                             std::pow(t.longLinesPerQuarterBark[s], tuning.tilt) *
                             std::pow(10.0, -0.1 * tuning.tonalDb * tonality);
        const double quiet = tuning.quietScale * tuning.noiseScale * t.quietPerLine[s];
        allowed[s] = std::max(scale * smoothed, quiet) * width;
    }
}

}  // namespace

void allowedNoise(const QualityTuning& tuning, bool isLong, const double* energy,
                  const double* unpredictability, int bands, double* allowed) {
    if (isLong) {
        bandAllowances(longMask(), tuning, longBandEdges.data(), energy, unpredictability, bands,
                       allowed);
    } else {
        bandAllowances(shortMask(), tuning, shortBandEdges.data(), energy, unpredictability, bands,
                       allowed);
    }
}

}  // namespace qmz
