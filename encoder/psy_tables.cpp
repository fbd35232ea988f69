// Builds the per-resolution constant tables of the psychoacoustic model.
#include "encoder/psy_tables.h"

#include <cmath>

#include "common/windows.h"

namespace qmz {
namespace {

constexpr double kSampleRate = 44100.0;

double barkOf(double hz) {
    const double x = hz * 0.00013333333333333334;
    const double z = 13.0 * std::atan(0.00076 * hz) + 3.5 * std::atan(x * x);
    return z > 25.0 ? 25.0 : z;
}

double quietThresholdDb(double hz) {
    const double f = hz * 0.001;
    const double d = f - 3.3;
    return 0.5 * (3.64 * std::pow(f, -0.8) - 6.5 * std::exp(-0.6 * (d * d))) +
           0.0005 * std::pow(f, 4.0);
}

template <std::size_t P, std::size_t E>
PsyTables buildTables(int fftLength, const std::array<int, P>& widths,
                      const std::array<int, E>& bandEdges, const double* windowHalf) {
    constexpr std::size_t B = E - 1;
    PsyTables t;
    t.fftLength = fftLength;
    t.binCount = fftLength / 2;
    t.partitionCount = static_cast<int>(P);
    t.bandCount = static_cast<int>(B);
    const double binHz = kSampleRate / fftLength;
    int first = 0;
    for (std::size_t b = 0; b < P; ++b) {
        const int last = first + widths[b] - 1;
        t.width[b] = widths[b];
        t.start[b] = first;
        t.centreHz[b] = (first + last + 2) * 0.5 * binHz;
        t.bark[b] = barkOf(t.centreHz[b]);
        t.quietDb[b] = quietThresholdDb(t.centreHz[b]);
        t.quietEnergy[b] = std::pow(10.0, t.quietDb[b] / 10.0);
        t.slopeTerm[b] = 2300.0 / t.centreHz[b];
        first = last + 1;
    }
    for (std::size_t s = 0; s <= B; ++s) t.bandEdges[s] = bandEdges[s];
    for (std::size_t s = 0; s < B; ++s) {
        int b = 0;
        while (t.start[b] + t.width[b] <= bandEdges[s]) ++b;
        t.bandFirstPartition[s] = b;
        while (t.start[b] + t.width[b] < bandEdges[s + 1]) ++b;
        t.bandLastPartition[s] = b;
    }
    const int half = t.binCount;
    for (int i = 0; i < half; ++i) {
        t.window[i] = windowHalf[i];
        t.window[half + i] = windowHalf[half - 1 - i];
    }
    return t;
}

}  // namespace

const PsyTables& longPsyTables() {
    static const PsyTables tables = [] {
        PsyTables t = buildTables(kLongFftLength, partitionWidthsLong, longBandEdges,
                                  windowTables().longWindow.data());
        t.lowPartitions = 30;
        t.inputScale = 79.0 / 32767.0;
        t.floorWidth = 5.0 / 7.0;
        t.preEchoFactor = kLongPreEchoFactor;
        return t;
    }();
    return tables;
}

const PsyTables& shortPsyTables() {
    static const PsyTables tables = [] {
        PsyTables t = buildTables(kShortFftLength, partitionWidthsShort, shortBandEdges,
                                  windowTables().shortWindow.data());
        t.lowPartitions = 4;
        t.inputScale = 437.0 / 32767.0;
        t.floorWidth = 10.0 / 3.0;
        t.preEchoFactor = kShortPreEchoFactor;
        return t;
    }();
    return tables;
}

void buildFloorTable(const PsyTables& t, PsyFloorKind kind, double* floor) {
    for (int b = 0; b < t.partitionCount; ++b) {
        const double q = t.quietDb[b];
        double level = 1.0;
        switch (kind) {
            case PsyFloorKind::QuietAmplitude:
                level = std::pow(10.0, 0.05 * q);
                break;
            case PsyFloorKind::QuietAmplitudePlus10:
                level = std::pow(10.0, 0.05 * (q + 10.0));
                break;
            case PsyFloorKind::QuietEnergyPlus12:
                level = std::pow(10.0, 0.1 * (q + 12.0));
                break;
            case PsyFloorKind::QuietEnergyPlus14:
                level = std::pow(10.0, 0.1 * (q + 14.0));
                break;
            case PsyFloorKind::Flat:
                floor[b] = t.width[b] * t.floorWidth;
                continue;
        }
        floor[b] = level * t.width[b] * t.floorWidth;
    }
}

}  // namespace qmz
