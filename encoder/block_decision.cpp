#include "encoder/block_decision.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

#include "common/band_tables.h"

namespace qmz {
namespace {
constexpr int kFirstEntropyBand = 10;
constexpr double kEntropyAlone = 3000.0;
constexpr double kEntropyWithRatio = 1000.0;
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
    if (ratio > kAttackRatioAlone) return true;
    return pe > kEntropyWithRatio && ratio > kRatioWithEntropy;
}

namespace {

// ln(1 + j/256), j = 0..256.
const std::array<double, 257>& logOfSteps() {
    static const std::array<double, 257> table = [] {
        std::array<double, 257> t{};
        for (int j = 0; j <= 256; ++j) t[j] = std::log1p(j / 256.0);
        return t;
    }();
    return table;
}

// Whether the perceptual entropy exceeds `limit`. A ratio r = 2^e (1 + f)
// with f in [j/256, (j+1)/256) has -ln r between -(e ln 2 + ln(1 + (j+1)/256))
// and -(e ln 2 + ln(1 + j/256)); summed with the band widths these bound the
// entropy within about 4. Only when the limit lies between the bounds (with
// room for every rounding) is the entropy summed as perceptualEntropy does.
bool entropyAbove(const double* longRatio, double limit) {
    const std::array<double, 257>& steps = logOfSteps();
    double low = 0.0, high = 0.0, size = 1.0;
    for (int s = kFirstEntropyBand; s < kLongBandCount; ++s) {
        const double r = longRatio[s];
        // Zero, subnormal, infinite, negative or NaN: the exact sum decides.
        if (!(r >= std::numeric_limits<double>::min() && r <= std::numeric_limits<double>::max()))
            return perceptualEntropy(longRatio) > limit;
        const auto bits = std::bit_cast<uint64_t>(r);
        const int e = static_cast<int>(bits >> 52) - 1023;
        const auto j = static_cast<std::size_t>((bits >> 44) & 0xff);
        const double base = e * std::numbers::ln2;
        const double w = longBandWidths[s];
        low -= w * (base + steps[j + 1]);
        high -= w * (base + steps[j]);
        size += w * (std::fabs(base) + 1.0);
    }
    const double slack = 1e-9 * size;  // far beyond the roundings of both sums
    if (low - slack > limit) return true;
    if (high + slack <= limit) return false;
    return perceptualEntropy(longRatio) > limit;
}

}  // namespace

bool attackRequested(const double* longRatio, const AttackEnergies& energies,
                     double ratioAlone) {
    const double ratio = energies.ratio();
    if (ratio > ratioAlone) return true;
    // Entropy above 3000, or above 1000 with a ratio above 10.
    return entropyAbove(longRatio, ratio > kRatioWithEntropy ? kEntropyWithRatio : kEntropyAlone);
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
