// Constant tables of the psychoacoustic model, one set per resolution.
//
// The long analysis (2048-point FFT) groups its 1024 bins into 100
// partitions, the short analysis (256-point FFT) its 128 bins into 14. Each
// partition carries its centre frequency, its critical-band rate in Bark
// (Zwicker-Terhardt) and the threshold in quiet at that frequency (Terhardt's
// formula, halved). These depend on nothing but the sample rate, so they are
// built once per process and shared read-only by every stream. The absolute
// floor depends on the quality preset and belongs to the stream (see
// buildFloorTable).
#pragma once

#include <array>
#include <cstdint>

#include "common/band_tables.h"

namespace qmz {

inline constexpr int kLongFftLength = 2048;
inline constexpr int kShortFftLength = 256;
inline constexpr int kLongPartitionCount = 100;
inline constexpr int kShortPartitionCount = 14;
inline constexpr int kMaxPartitionCount = kLongPartitionCount;

// How far a partition's threshold may grow from one analysis to the next.
inline constexpr double kLongPreEchoFactor = 2.0;
inline constexpr double kShortPreEchoFactor = 1.4;

// Partition widths in FFT bins; each list sums to half the FFT length.
inline constexpr std::array<int, kLongPartitionCount> partitionWidthsLong = {
    1,  1,  2,  1,  1,  1,  1,  1,  2,  1,  1,  1,  1,  1,  2,  1,  1,  1,  2,  1,
    1,  2,  1,  2,  2,  1,  2,  2,  1,  2,  2,  2,  1,  2,  2,  2,  3,  2,  2,  2,
    3,  2,  3,  3,  2,  3,  3,  3,  3,  4,  3,  4,  3,  4,  4,  4,  5,  4,  4,  6,
    5,  5,  5,  7,  6,  6,  7,  8,  8,  8,  8,  11, 10, 11, 10, 13, 13, 12, 13, 15,
    15, 15, 16, 20, 21, 21, 21, 29, 29, 29, 29, 41, 41, 40, 41, 58, 58, 58, 58, 73};
inline constexpr std::array<int, kShortPartitionCount> partitionWidthsShort = {
    4, 4, 4, 4, 4, 8, 8, 8, 12, 12, 12, 16, 20, 12};

struct PsyTables {
    int fftLength;         // N
    int binCount;          // N / 2
    int partitionCount;    // P
    int bandCount;         // scalefactor bands reported
    int lowPartitions;     // partitions whose threshold is a fixed fraction of their energy
    double inputScale;     // applied to the 16-bit samples
    double floorWidth;     // g: the floor is (level) x width x g
    double preEchoFactor;  // growth allowed per analysis (a preset may relax the short one)
    std::array<int, kMaxPartitionCount> width{};  // W[b], bins
    std::array<int, kMaxPartitionCount> start{};  // S[b], first bin
    std::array<double, kMaxPartitionCount> centreHz{};
    std::array<double, kMaxPartitionCount> bark{};
    std::array<double, kMaxPartitionCount> quietDb{};      // threshold in quiet, dB
    std::array<double, kMaxPartitionCount> quietEnergy{};  // 10^(quietDb / 10)
    std::array<double, kMaxPartitionCount> slopeTerm{};    // 2300 / centreHz of the upper slope
    // Scalefactor band s covers bins bandEdges[s] .. bandEdges[s + 1] - 1,
    // which lie in partitions bandFirstPartition[s] .. bandLastPartition[s].
    std::array<int, kLongBandCount + 1> bandEdges{};
    std::array<int, kLongBandCount> bandFirstPartition{};
    std::array<int, kLongBandCount> bandLastPartition{};
    std::array<double, kLongFftLength> window{};  // the MDCT window of this length
};

const PsyTables& longPsyTables();
const PsyTables& shortPsyTables();

// The absolute threshold floors the quality presets choose from: the
// threshold in quiet as an amplitude or an energy, shifted by a margin in dB,
// or the same level for every bin.
enum class PsyFloorKind : uint8_t {
    QuietAmplitude,
    QuietAmplitudePlus10,
    QuietEnergyPlus12,
    QuietEnergyPlus14,
    Flat,
};

// The absolute threshold floor of every partition.
void buildFloorTable(const PsyTables& tables, PsyFloorKind kind, double* floor);

}  // namespace qmz
