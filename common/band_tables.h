// Frame geometry, scalefactor band tables and the quantised block record.
//
// These values are part of the stream format: the encoder's quantiser, the
// payload writer and reader and the decoder's dequantiser all work over the
// same bands, so they live here and nowhere else.
#pragma once

#include <array>
#include <cstdint>

namespace qmz {

inline constexpr int kMaxChannels = 2;
inline constexpr int kFrameLength = 1024;  // new sample frames per channel per frame
inline constexpr int kShortBlocksPerFrame = 8;
inline constexpr int kShortBlockLength = 128;  // coefficients per short block

inline constexpr int kLongBandCount = 48;
inline constexpr int kShortBandCount = 13;
inline constexpr int kLongCodedLines = 928;  // lines above these are never coded
inline constexpr int kShortCodedLines = 116;

// A scalefactor above this value marks a noise band of level (scalefactor - 100).
inline constexpr int kNoiseBandBase = 100;

// One code per frame, shared by all channels.
enum class BlockType : int32_t { Long = 0, Start = 1, Short = 2, Stop = 3 };

// The transform a block was made with: the long one (long, start and stop
// frames) or the short one (each of a short frame's eight blocks).
enum class BlockShape : uint8_t { Long, Short };

// Coefficients (and coded-line slots) of one block of this shape.
constexpr int coefficientsOf(BlockShape shape) {
    return shape == BlockShape::Long ? kFrameLength : kShortBlockLength;
}

inline constexpr std::array<int, kLongBandCount> longBandWidths = {
    4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  8,  8,  8,  8,  8,  8,  8,  12, 12, 12, 12, 16, 16, 20,
    20, 24, 24, 28, 28, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32};

inline constexpr std::array<int, kShortBandCount> shortBandWidths = {4, 4,  4,  4,  4,  8, 8,
                                                                     8, 12, 12, 12, 16, 20};

namespace detail {
template <std::size_t N>
constexpr std::array<int, N + 1> edgesOf(const std::array<int, N>& widths) {
    std::array<int, N + 1> edges{};
    for (std::size_t s = 0; s < N; ++s) edges[s + 1] = edges[s] + widths[s];
    return edges;
}
}  // namespace detail

// Band s covers lines edges[s] .. edges[s + 1] - 1.
inline constexpr std::array<int, kLongBandCount + 1> longBandEdges =
    detail::edgesOf(longBandWidths);
inline constexpr std::array<int, kShortBandCount + 1> shortBandEdges =
    detail::edgesOf(shortBandWidths);

static_assert(longBandEdges.back() == kLongCodedLines);
static_assert(shortBandEdges.back() == kShortCodedLines);

// One block of one channel. A long block uses all fields; a short block uses
// the first 13 scalefactors and the first 116 lines and leaves the rest zero.
struct QuantizedBlock {
    int32_t globalGain;
    std::array<int32_t, kLongBandCount> scalefactors;
    std::array<int32_t, kLongCodedLines> lines;
};

// All blocks of one channel in one frame: a long, start or stop frame uses
// block 0, a short frame all eight in time order.
using ChannelBlocks = std::array<QuantizedBlock, kShortBlocksPerFrame>;

// Geometry of one frame's blocks, chosen by its block type.
struct BlockGeometry {
    int blocks;        // per channel
    int scalefactors;  // per block
    int lines;         // coded lines per block
};

constexpr BlockGeometry geometryOf(BlockType type) {
    return type == BlockType::Short
               ? BlockGeometry{kShortBlocksPerFrame, kShortBandCount, kShortCodedLines}
               : BlockGeometry{1, kLongBandCount, kLongCodedLines};
}

}  // namespace qmz
