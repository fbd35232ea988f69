// The decoder's frame payload reader: rebuilds each frame's block type and
// quantised blocks from the bit stream behind the container header, skipping
// the resync record before every 45th frame.
//
// A damaged or truncated stream is reported, never followed: past the end of
// the input the bit reader yields ones and flags the early end, an escape
// index that names no unseen symbol stops the frame, and every loop whose
// count comes from the stream is bounded by the block geometry.
#pragma once

#include <iosfwd>
#include <span>

#include "common/adaptive_huffman.h"
#include "common/band_tables.h"
#include "common/bit_io.h"

namespace qmz {

enum class StreamError {
    None = 0,
    Truncated,     // the input ended inside the frame
    BadEscape,     // an unseen-symbol index beyond the list: the bits cannot come from an encoder
    BadBlockType,  // a block type code outside 0..3; the frame was read with the long geometry
    BadChannelCount,  // not 1 or 2 channels asked for
};

const char* describeStreamError(StreamError error);

// Where the bits of one frame went. The resync share is the padding to a byte
// and the record in front of every 45th frame; side information is the block
// type code and the global gains; lines include the zero-run lengths.
struct FrameBitShares {
    int64_t resync = 0;
    int64_t side = 0;
    int64_t scalefactors = 0;
    int64_t lines = 0;

    int64_t total() const { return resync + side + scalefactors + lines; }
};

class FramePayloadReader {
  public:
    // The stream must be positioned right behind the container header.
    explicit FramePayloadReader(std::istream& in);

    // Reads frame `frameIndex` (1, 2, 3, ... in order) into one ChannelBlocks
    // per channel. The blocks the frame codes are written whole (scalefactors
    // and lines beyond the coded ones as zero); the blocks it does not code
    // (1 to 7 of a long frame) are left as they were, so that a frame costs
    // no clearing of blocks nobody reads. After Truncated or BadEscape the
    // reader stays failed and reads nothing more.
    StreamError readFrame(std::span<ChannelBlocks> channels, BlockType& type, int frameIndex);

    // Reads what an encoder writes after its last frame, `nextFrameIndex` - 1:
    // the resync record when nextFrameIndex is a resync point, the end
    // markers and the closing byte. False when any of it is missing or not
    // what an encoder writes.
    bool readEndOfStream(int nextFrameIndex);

    // Reads the input to its end: the bytes after the last one read.
    int64_t skipToEnd() { return bits_.skipToEnd(); }

    // The bits the last readFrame took, by kind (complete only when it
    // returned None).
    const FrameBitShares& lastFrameBits() const { return bitShares_; }

  private:
    bool readResyncRecord();
    bool readBlock(QuantizedBlock& block, const BlockGeometry& geometry);
    bool readLines(int32_t* lines, int count);
    int decode(AdaptiveHuffmanModel& model);
    StreamError failure() const;

    PayloadBitReader bits_;
    AdaptiveHuffmanModel sideModel_;
    AdaptiveHuffmanModel scalefactorModel_;
    AdaptiveHuffmanModel lineModel_;
    AdaptiveHuffmanModel runModel_;
    bool badEscape_ = false;
    FrameBitShares bitShares_;
};

}  // namespace qmz
