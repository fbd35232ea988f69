// Dequantisation with noise substitution: QuantizedBlock -> spectral values.
#pragma once

#include <cstdint>
#include <span>

#include "common/band_tables.h"

namespace qmz {

// Step sizes 2^(i / 4) exist for i = 0 .. kStepTableSize - 1.
inline constexpr int kStepTableSize = 200;
// Largest scalefactor a stream can carry; noise bands go up to level 51.
inline constexpr int kMaxScalefactor = 151;

// The noise bands' 15-bit linear congruential generator. Its state belongs to
// one decoding session: it starts at 1 for every stream and runs on through
// the whole stream in decode order (frames, channels, short blocks, bands and
// lines in increasing order), which makes the decoded output reproducible.
struct NoiseRandom {
    uint32_t state = 1;
    // Advances the state (state * 214013 + 2531011 modulo 2^32) and returns
    // bits 16..30 of it, an integer 0..32767.
    int draw();
    // Advances the state as `draws` calls of draw() would, in O(log draws)
    // steps, so a decode that starts mid-stream can take up the sequence.
    void skip(uint64_t draws);
};

enum class DequantStatus {
    Ok,
    // Some coded band had globalGain - scalefactor outside 0..199, or a noise
    // band a scalefactor above kMaxScalefactor. Such values never come from
    // the encoder; the block was still dequantised in full, with the step
    // index clamped to the table (0 or 199) and the noise scalefactor to
    // kMaxScalefactor, so the caller may use it or treat the stream as damaged.
    Damaged,
};

// A short description of a status, for the programs' messages.
const char* dequantStatusText(DequantStatus status);

// Whether every band of a block of this shape lies within what
// dequantisation can carry out as coded: Damaged for the values described
// above. dequantizeBlock returns the same status, so an inspection that
// never dequantises reaches the decoder's verdict.
DequantStatus checkBlockLevels(const QuantizedBlock& block, BlockShape shape);

// checkBlockLevels over the blocks a frame of `type` codes (one long block or
// eight short ones) in every channel: the first status other than Ok.
DequantStatus checkFrameLevels(std::span<const ChannelBlocks> channels, BlockType type);

// The generator draws dequantizeBlock makes for the blocks a frame of `type`
// codes in every channel (one per line of each noise band), without
// dequantising: what a decoder that skips frames must advance the generator by.
uint64_t frameNoiseDraws(std::span<const ChannelBlocks> channels, BlockType type);

// A block kept for dequantisation later (the threaded decode reads a
// segment's frames before the noise state at its start is known), packed:
// the global gain, the shape's scalefactors (48 or 13) and its coded lines
// (928 or 116). A long block packs as the QuantizedBlock it came from; the
// values stay 32-bit, which the dequantiser reads as cheaply as a block's.
constexpr int packedBlockSize(BlockShape shape) {
    return shape == BlockShape::Long ? 1 + kLongBandCount + kLongCodedLines
                                     : 1 + kShortBandCount + kShortCodedLines;
}

// Packs `block` at `packed`, adds its noise draws (frameNoiseDraws) to
// `draws` and returns checkBlockLevels's verdict: one pass instead of three.
DequantStatus packBlock(const QuantizedBlock& block, BlockShape shape, int32_t* packed,
                        uint64_t& draws);

// dequantizeBlock of a block packBlock found Ok; returns the packed block's end.
const int32_t* dequantizePacked(const int32_t* packed, double* out, BlockShape shape,
                                NoiseRandom& noise);

// Dequantises one block into out[0 .. coefficientsOf(shape) - 1]: 1024 lines
// for a long, start or stop block (48 bands), 128 for one short block (13
// bands). A band with scalefactor sf <= 100 gives
// lines[k] * 2^((globalGain - sf) / 4); a band with sf >= 101 ignores its
// lines and draws one noise value per line, uniform over [-2A, 2A) with
// A = 10^((sf - 100) / 4), or 0 (still drawing) for sf = 101. Lines above
// the last band are 0.
DequantStatus dequantizeBlock(const QuantizedBlock& block, double* out, BlockShape shape,
                              NoiseRandom& noise);

}  // namespace qmz
