// Dequantiser.
//
// Coded bands scale their integer lines by a quarter-power-of-two step taken
// from a table; noise bands replace their lines with uniform pseudo-random
// values whose amplitude is a quarter power of ten. The generator is drawn
// once per line of every noise band, including the silent level 101: the
// sequence runs on through the whole stream, so every draw counts towards
// reproducing the same output in every decoder.
//
// A damaged stream may carry a gain/scalefactor pair whose step index lies
// outside the table; the index is clamped (never read out of bounds) and the
// block is reported as damaged.
#include "decoder/dequantizer.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <span>

namespace qmz {
namespace {

constexpr int kNoiseLevels = kMaxScalefactor - kNoiseBandBase;  // levels 1..51

struct DequantTables {
    std::array<double, kStepTableSize> step;
    std::array<double, kNoiseLevels + 1> noiseAmplitude;  // by level; level 1 is silent
};

const DequantTables& dequantTables() {
    static const DequantTables tables = [] {
        DequantTables t{};
        for (int i = 0; i < kStepTableSize; ++i) t.step[i] = std::pow(2.0, i * 0.25);
        for (int level = 2; level <= kNoiseLevels; ++level) {
            t.noiseAmplitude[level] = std::pow(10.0, level * 0.25);
        }
        return t;
    }();
    return tables;
}

void codedBand(int64_t gain, int sf, int first, int last, const int32_t* lines, double* out,
               const DequantTables& t) {
    const double step = t.step[std::clamp<int64_t>(gain - sf, 0, kStepTableSize - 1)];
    for (int k = first; k < last; ++k) out[k] = lines[k] * step;
}

// The generator stepped 1..4 times at once: x -> a^k x + c_k (mod 2^32),
// c_k = a c_(k-1) + c, the same states as four single steps, but four
// independent products instead of a chain of four.
constexpr uint32_t kNoiseA = 214013u, kNoiseC = 2531011u;
constexpr uint32_t kNoiseA2 = kNoiseA * kNoiseA, kNoiseA3 = kNoiseA2 * kNoiseA;
constexpr uint32_t kNoiseA4 = kNoiseA3 * kNoiseA;
constexpr uint32_t kNoiseC2 = kNoiseA * kNoiseC + kNoiseC, kNoiseC3 = kNoiseA * kNoiseC2 + kNoiseC;
constexpr uint32_t kNoiseC4 = kNoiseA * kNoiseC3 + kNoiseC;

// Bits 16..30 of a state: the integer 0..32767 a draw returns.
int drawnValue(uint32_t state) {
    return static_cast<int>((state >> 16) & 0x7FFFu);
}

double noiseLine(int drawn, double amplitude) {
    const double r = drawn;
    return (r * (1.0 / 16384.0) - 1.0) * amplitude * 2.0;
}

void noiseBand(int sf, int first, int last, double* out, NoiseRandom& noise,
               const DequantTables& t) {
    const int level = std::min(sf, kMaxScalefactor) - kNoiseBandBase;
    const double amplitude = t.noiseAmplitude[level];
    int k = first;
    for (uint32_t s = noise.state; k + 4 <= last; k += 4) {
        const uint32_t s1 = kNoiseA * s + kNoiseC, s2 = kNoiseA2 * s + kNoiseC2;
        const uint32_t s3 = kNoiseA3 * s + kNoiseC3, s4 = kNoiseA4 * s + kNoiseC4;
        out[k] = noiseLine(drawnValue(s1), amplitude);
        out[k + 1] = noiseLine(drawnValue(s2), amplitude);
        out[k + 2] = noiseLine(drawnValue(s3), amplitude);
        out[k + 3] = noiseLine(drawnValue(s4), amplitude);
        noise.state = s = s4;
    }
    for (; k < last; ++k) out[k] = noiseLine(noise.draw(), amplitude);
}

int bandCount(BlockShape shape) {
    return shape == BlockShape::Long ? kLongBandCount : kShortBandCount;
}

// What checkBlockLevels and frameNoiseDraws find in a block.
struct BlockLevels {
    bool damaged;
    int32_t noiseLines;
};

// One pass over the scalefactors without branches, which runs four bands
// at a time: a coded band's step index gain - sf lies in the table when
// lowest <= sf <= highest (= gain), compared in 32 bits.
BlockLevels levelsOf(const QuantizedBlock& block, BlockShape shape) {
    const int* widths =
        shape == BlockShape::Long ? longBandWidths.data() : shortBandWidths.data();
    const int bands = bandCount(shape);
    const int64_t gain = block.globalGain;
    const auto highest = static_cast<int32_t>(std::clamp<int64_t>(gain, INT32_MIN, INT32_MAX));
    const auto lowest = static_cast<int32_t>(
        std::clamp<int64_t>(gain - (kStepTableSize - 1), INT32_MIN, INT32_MAX));
    int32_t bad = 0, noiseLines = 0;
    for (int s = 0; s < bands; ++s) {
        const int32_t sf = block.scalefactors[s];
        const int32_t noise = -static_cast<int32_t>(sf > kNoiseBandBase);  // all ones or zero
        bad |= (noise & (sf > kMaxScalefactor)) | (~noise & ((sf < lowest) | (sf > highest)));
        noiseLines += noise & widths[s];
    }
    return {bad != 0, noiseLines};
}

}  // namespace

const char* dequantStatusText(DequantStatus status) {
    switch (status) {
        case DequantStatus::Ok:
            return "ok";
        case DequantStatus::Damaged:
            return "damaged block: step or noise level out of range";
    }
    return "unknown dequantiser status";
}

int NoiseRandom::draw() {
    state = state * kNoiseA + kNoiseC;
    return drawnValue(state);
}

void NoiseRandom::skip(uint64_t draws) {
    // k steps of x -> a x + c form one affine map a^k x + c (a^k - 1) / (a - 1);
    // built by squaring the one-step map, so no division modulo 2^32 is needed.
    uint32_t stepA = kNoiseA, stepC = kNoiseC;
    uint32_t totalA = 1, totalC = 0;
    for (; draws != 0; draws >>= 1) {
        if ((draws & 1u) != 0) {
            totalA *= stepA;
            totalC = stepA * totalC + stepC;
        }
        stepC = stepA * stepC + stepC;
        stepA *= stepA;
    }
    state = totalA * state + totalC;
}

DequantStatus checkBlockLevels(const QuantizedBlock& block, BlockShape shape) {
    return levelsOf(block, shape).damaged ? DequantStatus::Damaged : DequantStatus::Ok;
}

DequantStatus checkFrameLevels(std::span<const ChannelBlocks> channels, BlockType type) {
    const bool isShort = type == BlockType::Short;
    const int blocks = isShort ? kShortBlocksPerFrame : 1;
    const BlockShape shape = isShort ? BlockShape::Short : BlockShape::Long;
    for (const ChannelBlocks& channel : channels) {
        for (int b = 0; b < blocks; ++b) {
            const DequantStatus status = checkBlockLevels(channel[b], shape);
            if (status != DequantStatus::Ok) return status;
        }
    }
    return DequantStatus::Ok;
}

uint64_t frameNoiseDraws(std::span<const ChannelBlocks> channels, BlockType type) {
    const bool isShort = type == BlockType::Short;
    const int blocks = isShort ? kShortBlocksPerFrame : 1;
    const BlockShape shape = isShort ? BlockShape::Short : BlockShape::Long;
    uint64_t draws = 0;
    for (const ChannelBlocks& channel : channels) {
        for (int b = 0; b < blocks; ++b)
            draws += static_cast<uint64_t>(levelsOf(channel[b], shape).noiseLines);
    }
    return draws;
}

namespace {

void dequantizeValues(int64_t gain, const int32_t* scalefactors, const int32_t* lines,
                      double* out, BlockShape shape, NoiseRandom& noise) {
    const bool isLong = shape == BlockShape::Long;
    const std::span<const int> edges =
        isLong ? std::span<const int>(longBandEdges) : std::span<const int>(shortBandEdges);
    const int bands = bandCount(shape);
    const DequantTables& t = dequantTables();
    for (int s = 0; s < bands; ++s) {
        const int sf = scalefactors[s];
        if (sf <= kNoiseBandBase) {
            codedBand(gain, sf, edges[s], edges[s + 1], lines, out, t);
        } else {
            noiseBand(sf, edges[s], edges[s + 1], out, noise, t);
        }
    }
    std::fill(out + edges[bands], out + coefficientsOf(shape), 0.0);
}

}  // namespace

DequantStatus dequantizeBlock(const QuantizedBlock& block, double* out, BlockShape shape,
                              NoiseRandom& noise) {
    const DequantStatus status = checkBlockLevels(block, shape);
    dequantizeValues(block.globalGain, block.scalefactors.data(), block.lines.data(), out, shape,
                     noise);
    return status;
}

DequantStatus packBlock(const QuantizedBlock& block, BlockShape shape, int32_t* packed,
                        uint64_t& draws) {
    const BlockLevels levels = levelsOf(block, shape);
    draws += static_cast<uint64_t>(levels.noiseLines);
    const int bands = bandCount(shape);
    static_assert(offsetof(QuantizedBlock, scalefactors) == sizeof(int32_t) &&
                  offsetof(QuantizedBlock, lines) == sizeof(int32_t) * (1 + kLongBandCount));
    if (shape == BlockShape::Long) {
        std::memcpy(packed, &block, sizeof(int32_t) * packedBlockSize(shape));
    } else {
        packed[0] = block.globalGain;
        std::copy_n(block.scalefactors.data(), bands, packed + 1);
        std::copy_n(block.lines.data(), kShortCodedLines, packed + 1 + bands);
    }
    return levels.damaged ? DequantStatus::Damaged : DequantStatus::Ok;
}

const int32_t* dequantizePacked(const int32_t* packed, double* out, BlockShape shape,
                                NoiseRandom& noise) {
    const int bands = bandCount(shape);
    dequantizeValues(packed[0], packed + 1, packed + 1 + bands, out, shape, noise);
    return packed + packedBlockSize(shape);
}

}  // namespace qmz
