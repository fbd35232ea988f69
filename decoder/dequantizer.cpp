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
#include <cmath>
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

int64_t stepIndex(const QuantizedBlock& block, int sf) {
    return int64_t(block.globalGain) - sf;
}

void codedBand(const QuantizedBlock& block, int sf, int first, int last, double* out,
               const DequantTables& t) {
    const double step = t.step[std::clamp<int64_t>(stepIndex(block, sf), 0, kStepTableSize - 1)];
    for (int k = first; k < last; ++k) out[k] = block.lines[k] * step;
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
    const int bands = bandCount(shape);
    for (int s = 0; s < bands; ++s) {
        const int sf = block.scalefactors[s];
        const bool inRange = sf <= kNoiseBandBase ? stepIndex(block, sf) >= 0 &&
                                                        stepIndex(block, sf) < kStepTableSize
                                                  : sf <= kMaxScalefactor;
        if (!inRange) return DequantStatus::Damaged;
    }
    return DequantStatus::Ok;
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
    const std::span<const int> edges =
        isShort ? std::span<const int>(shortBandEdges) : std::span<const int>(longBandEdges);
    const int bands = isShort ? kShortBandCount : kLongBandCount;
    uint64_t draws = 0;
    for (const ChannelBlocks& channel : channels) {
        for (int b = 0; b < blocks; ++b) {
            for (int s = 0; s < bands; ++s) {
                if (channel[b].scalefactors[s] > kNoiseBandBase) draws += edges[s + 1] - edges[s];
            }
        }
    }
    return draws;
}

DequantStatus dequantizeBlock(const QuantizedBlock& block, double* out, BlockShape shape,
                              NoiseRandom& noise) {
    const DequantStatus status = checkBlockLevels(block, shape);
    const bool isLong = shape == BlockShape::Long;
    const std::span<const int> edges =
        isLong ? std::span<const int>(longBandEdges) : std::span<const int>(shortBandEdges);
    const int bands = bandCount(shape);
    const DequantTables& t = dequantTables();
    for (int s = 0; s < bands; ++s) {
        const int sf = block.scalefactors[s];
        if (sf <= kNoiseBandBase) {
            codedBand(block, sf, edges[s], edges[s + 1], out, t);
        } else {
            noiseBand(sf, edges[s], edges[s + 1], out, noise, t);
        }
    }
    std::fill(out + edges[bands], out + coefficientsOf(shape), 0.0);
    return status;
}

}  // namespace qmz
