#include "encoder/block_decision.h"

#include <cmath>

#include "common/band_tables.h"

namespace qmz {
namespace {
constexpr int kFirstEntropyBand = 10;
constexpr double kEntropyAlone = 3000.0;
constexpr double kEntropyWithRatio = 1000.0;
constexpr double kRatioAlone = 30.0;
constexpr double kRatioWithEntropy = 10.0;
}  // namespace

double perceptualEntropy(const double* longRatio) {
    double pe = 0.0;
    for (int s = kFirstEntropyBand; s < kLongBandCount; ++s)
        pe += longBandWidths[s] * -std::log(longRatio[s]);
    return pe;
}

bool attackDetected(double pe, const AttackEnergies& energies) {
    if (pe > kEntropyAlone) return true;
    const double ratio = energies.ratio();
    if (ratio > kRatioAlone) return true;
    return pe > kEntropyWithRatio && ratio > kRatioWithEntropy;
}

BlockType BlockSequencer::next(bool request, bool& dropped) {
    const int r = request ? 1 : 0;
    int stored = 0;
    BlockType type;
    dropped = false;
    if (prevRequest_ == 1) {
        type = BlockType::Short;
        stored = r;
    } else if (prevPrevRequest_ == 1) {
        type = BlockType::Stop;
        dropped = r == 1;
    } else {
        type = r == 1 ? BlockType::Start : BlockType::Long;
        stored = r;
    }
    prevPrevRequest_ = prevRequest_;
    prevRequest_ = stored;
    return type;
}

}  // namespace qmz
