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
// shape: each band's energy spread over quarter-Bark cells (27 dB/Bark
// downward, 24 dB/Bark and more upward), the patterns added as 0.4th
// powers, so that maskers of like strength mask more together than
// either alone, and normalised so that a flat spectrum in quiet is its own
// mask; and the threshold in quiet per line on the MDCT's scale.
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

constexpr double kCellBark = 0.25;
constexpr int kCells = 119;  // up to 29.75 Bark, past 22.05 kHz
constexpr double kCompression = 0.4;
// Above about 12 Bark the allowance rises by 0.4 dB per Bark: the bands
// there are wide, so each dB of noise costs many lines' bits there, and
// the mean noise-to-mask ratio gains more from those bits spent below.
constexpr double kRiseFromBark = 12.86;
constexpr double kRiseDbPerBark = 0.4;

template <int B>
struct MaskTables {
    std::array<double, B> quietPerLine;
    // Spreading on a grid of quarter-Bark cells, added in a compressed
    // domain (the 0.4th power of energy): reach[masker][cell] is the
    // masker band's spread pattern at that cell, raised to the 0.4th power.
    std::array<std::array<double, kCells>, B> reach;
    std::array<double, B> toCell;            // the band's energy per line -> weighted SPL per cell
    std::array<double, kCells> fromCell;     // weighted SPL per cell -> energy per line
    std::array<double, kCells> unitPattern;  // a flat pattern at 0 dB, spread
    std::array<int, B> firstCell, lastCell;  // the cells a band covers (inclusive)
    std::array<double, B> rise;              // the allowance's rise with Bark
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

double cellCentre(int j) {
    return kCellBark * (j + 0.5);
}
double hzOfBark(double z) {
    return 650.0 * std::sinh(z / 7.0);
}

// A masker at cell i spread over all cells, normalised to a unit sum:
// 27 dB/Bark downward, upward less steep the lower its frequency. (Upward
// slopes that flatten with the masker's level, as the ear's do, gained
// only 0.1 dB on the tuning music.)
std::array<double, kCells> spreadPattern(int i) {
    const double slope = -24.0 - 230.0 / hzOfBark(cellCentre(i));
    std::array<double, kCells> p{};
    double sum = 0.0;
    for (int j = 0; j < kCells; ++j) {
        const double dz = (j - i) * kCellBark;
        p[j] = std::pow(10.0, (dz >= 0 ? slope * dz : 27.0 * dz) / 10.0);
        sum += p[j];
    }
    for (double& v : p) v /= sum;
    return p;
}

// The cells each band covers, the reach of each band over all cells, and
// the conversions between a band's energy per line and the weighted sound
// level per cell the spreading works on (the ear's weighting matters where
// one band masks another far from it).
template <int B>
void buildReach(MaskTables<B>& t, const std::array<int, B + 1>& edges, double hzPerLine,
                double levelDb) {
    const double toSpl = std::pow(10.0, -levelDb / 10.0);
    std::array<double, kCells> weight{}, linesPerCell{};
    for (int j = 0; j < kCells; ++j) {
        const double lo = hzOfBark(j * kCellBark), hi = hzOfBark((j + 1) * kCellBark);
        weight[j] =
            std::pow(10.0, earWeightDb(std::max(hzOfBark(cellCentre(j)), 20.0) / 1000.0) / 10.0);
        linesPerCell[j] = (hi - lo) / hzPerLine;
        t.fromCell[j] = 1.0 / (weight[j] * toSpl * linesPerCell[j]);
    }
    std::array<std::array<double, kCells>, B> share{};  // how much of each cell a band covers
    for (int m = 0; m < B; ++m) {
        const double zlo = barkOf(edges[m] * hzPerLine), zhi = barkOf(edges[m + 1] * hzPerLine);
        t.firstCell[m] = std::clamp(static_cast<int>(zlo / kCellBark), 0, kCells - 1);
        t.lastCell[m] = std::clamp(static_cast<int>(std::ceil(zhi / kCellBark)) - 1, t.firstCell[m],
                                   kCells - 1);
        for (int j = t.firstCell[m]; j <= t.lastCell[m]; ++j)
            share[m][j] =
                std::clamp(std::min(zhi, (j + 1) * kCellBark) - std::max(zlo, j * kCellBark), 0.0,
                           kCellBark) /
                kCellBark;
        const int centre =
            std::clamp(static_cast<int>(0.5 * (zlo + zhi) / kCellBark), 0, kCells - 1);
        t.toCell[m] = weight[centre] * toSpl * linesPerCell[centre];
        const double z = 0.5 * (t.firstCell[m] + t.lastCell[m] + 1) * kCellBark;
        t.rise[m] = std::pow(10.0, 0.1 * kRiseDbPerBark * std::max(0.0, z - kRiseFromBark));
    }
    t.unitPattern.fill(0.0);
    for (int i = 0; i < kCells; ++i) {
        auto p = spreadPattern(i);
        for (double& v : p) v = std::pow(v, kCompression);
        for (int j = 0; j < kCells; ++j) t.unitPattern[j] += p[j];
        for (int m = 0; m < B; ++m)
            for (int j = 0; j < kCells; ++j) t.reach[m][j] += share[m][i] * p[j];
    }
    for (double& v : t.unitPattern) v = std::pow(v, 1.0 / kCompression);
}

template <int B>
MaskTables<B> buildMaskTables(const std::array<int, B + 1>& edges, double hzPerLine,
                              double levelDb) {
    MaskTables<B> t{};
    for (int s = 0; s < B; ++s) {
        const double low = edges[s] * hzPerLine, high = edges[s + 1] * hzPerLine;
        const double barkWidth = barkOf(high) - barkOf(low);
        const double linesPerQuarterBark = (edges[s + 1] - edges[s]) / (4.0 * barkWidth);
        double quiet = 1e300;
        for (int k = edges[s]; k < edges[s + 1]; ++k)
            quiet = std::min(
                quiet, quietEnergyPerLine((k + 0.5) * hzPerLine, levelDb, linesPerQuarterBark));
        t.quietPerLine[s] = quiet;
    }
    buildReach<B>(t, edges, hzPerLine, levelDb);
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
    std::array<double, kCells> sum{};
    for (int m = 0; m < B; ++m) {
        const double spl = energy[m] / (edges[m + 1] - edges[m]) * t.toCell[m];
        if (!(spl > 1e-3)) continue;
        const double a = std::pow(spl, kCompression);
        for (int j = 0; j < kCells; ++j) sum[j] += a * t.reach[m][j];
    }
    if (bands <= 0) return;
    // The inverse of each cell's mask per line, for the cells the bands
    // cover; back from the 0.4th powers as x^2.5 = x^2 sqrt(x).
    static_assert(kCompression == 0.4);
    std::array<double, kCells> inverseMask;
    for (int j = t.firstCell[0]; j <= t.lastCell[bands - 1]; ++j) {
        const double maskPerLine =
            sum[j] * sum[j] * std::sqrt(sum[j]) / t.unitPattern[j] * t.fromCell[j];
        inverseMask[j] = 1.0 / std::max(maskPerLine, 1e-30);
    }
    for (int s = 0; s < bands; ++s) {
        // The noise spreads evenly over the band, so the cell with the least
        // masking rules; a mean of the inverse counts each cell's ratio.
        double inverse = 0.0;
        for (int j = t.firstCell[s]; j <= t.lastCell[s]; ++j) inverse += inverseMask[j];
        const double smoothed = (t.lastCell[s] - t.firstCell[s] + 1) / inverse;
        const int width = edges[s + 1] - edges[s];
        const double tonality = std::clamp(tonalityIndex(unpredictability[s]), 0.0, 1.0);
        const double scale =
            t.rise[s] * tuning.noiseScale * std::pow(10.0, -0.1 * tuning.tonalDb * tonality);
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
