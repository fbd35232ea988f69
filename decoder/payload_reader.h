// The decoder's frame payload reader: rebuilds each frame's block type and
// quantised blocks from the bit stream behind the container header, skipping
// the resync record before every 45th frame.
//
// The payload arrives in pieces of any size (push) or whole, in memory. A
// frame is read only once every byte it can possibly take is at hand, or no
// more will come, so a frame is never begun and left half read: the reader
// needs no way to suspend inside a frame, and its input buffer stays small.
//
// A damaged or truncated stream is reported, never followed: past the end of
// the input the bit reader yields ones and flags the early end, an escape
// index that names no unseen symbol stops the frame, and every loop whose
// count comes from the stream is bounded by the block geometry.
#pragma once

#include <algorithm>
#include <memory>
#include <span>

#include "common/adaptive_huffman.h"
#include "common/band_tables.h"
#include "common/bit_io.h"
#include "common/frame_syntax.h"

namespace qmz {

enum class StreamError {
    None = 0,
    NeedInput,     // not an error: the next frame may reach past the bytes at hand
    Truncated,     // the input ended inside the frame
    BadEscape,     // an unseen-symbol index beyond the list: the bits cannot come from an encoder
    BadBlockType,  // a block type code outside 0..3; the frame was read with the long geometry
    BadChannelCount,  // not 1 or 2 channels asked for
};

const char* describeStreamError(StreamError error);

namespace detail {
// Bits of the longest frame any input can make the reader take: every model
// codes at most 45 frames' symbols between resets, which bounds the depth of
// its tree (maxSymbolBits), and a frame codes at most so many symbols with
// each. A zero run takes a line symbol and a run symbol and covers a line at
// least.
constexpr int64_t maxFrameBits() {
    constexpr int64_t sideSymbols = 1 + kMaxChannels * kShortBlocksPerFrame;  // type and gains
    constexpr int64_t scalefactorSymbols =
        kMaxChannels * std::max(kLongBandCount, kShortBlocksPerFrame * kShortBandCount);
    constexpr int64_t lineSymbols =
        kMaxChannels * std::max(kLongCodedLines, kShortBlocksPerFrame * kShortCodedLines);
    auto bits = [](int alphabet, int64_t perFrame) {
        return perFrame * maxSymbolBits(alphabet, kResyncPeriod * perFrame);
    };
    return bits(kSideAlphabet, sideSymbols) + bits(kScalefactorAlphabet, scalefactorSymbols) +
           bits(kLineAlphabet, lineSymbols) + bits(kRunAlphabet, lineSymbols);
}
}  // namespace detail

// The most bytes one frame can take from its first byte on: its bits, the
// resync record in front of it, and the byte its last bits end in.
inline constexpr std::size_t kMaxFrameBytes =
    static_cast<std::size_t>((detail::maxFrameBits() + 7) / 8) + kResyncRecord.size() + 1;

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

// kCountBits: whether the reader keeps FrameBitShares per frame (for the
// inspector). The decoder's reader does not, and pays nothing for it.
template <bool kCountBits>
class BasicFramePayloadReader {
  public:
    // Pushed bytes wait here until their frames are read; the reader holds at
    // most this many.
    static constexpr std::size_t kInputCapacity = 64 * 1024;
    static_assert(kInputCapacity >= 2 * kMaxFrameBytes);

    // Starts before the payload's first byte, with no input yet.
    BasicFramePayloadReader();

    // Takes the next payload bytes, up to the room left; returns how many it
    // took (fewer than `size` once kInputCapacity bytes wait: read frames
    // first). Not after setWholeInput().
    std::size_t push(const uint8_t* bytes, std::size_t size);
    // No bytes will follow those pushed.
    void endInput() { ended_ = true; }
    // The whole rest of the payload, read in place (nothing is copied): the
    // bytes must stay until the last frame is read. Ends the input.
    void setWholeInput(const uint8_t* bytes, std::size_t size);

    // Reads frame `frameIndex` (1, 2, 3, ... in order) into one ChannelBlocks
    // per channel. The blocks the frame codes are written whole (scalefactors
    // and lines beyond the coded ones as zero); the blocks it does not code
    // (1 to 7 of a long frame) are left as they were, so that a frame costs
    // no clearing of blocks nobody reads. NeedInput reads nothing and may be
    // retried with more input. After Truncated or BadEscape the reader stays
    // failed and reads nothing more.
    StreamError readFrame(std::span<ChannelBlocks> channels, BlockType& type, int frameIndex);

    // Reads what an encoder writes after its last frame, `nextFrameIndex` - 1:
    // the resync record when nextFrameIndex is a resync point, the end
    // markers and the closing byte. False when any of it is missing or not
    // what an encoder writes. Needs inputReady().
    bool readEndOfStream(int nextFrameIndex);

    // True when a frame (or the end of the stream) can be read now: every
    // byte it may take is at hand, or no more will come.
    bool inputReady() const { return ended_ || unreadSize_ >= kMaxFrameBytes; }

    // Starts over with no input and fresh models, the payload's first byte or
    // a resync record to come next (a seek). The input buffer is kept.
    void restart();

    // Bytes pushed or given and not read yet: a whole-input reader stands at
    // byte size - unreadSize() of what it was given.
    std::size_t unreadSize() const { return unreadSize_; }

    // Drops the unread input: the number of bytes after the last one read
    // among those pushed or given.
    int64_t skipToEnd() {
        const auto skipped = static_cast<int64_t>(unreadSize_);
        unread_ += unreadSize_;
        unreadSize_ = 0;
        return skipped;
    }

    // The bits the last readFrame took, by kind (complete only when it
    // returned None).
    const FrameBitShares& lastFrameBits() const requires kCountBits { return bitShares_; }

  private:
    StreamError readFrameBits(std::span<ChannelBlocks> channels, BlockType& type, int frameIndex);
    bool readEndBits(int nextFrameIndex);
    bool readResyncRecord();
    bool readBlock(QuantizedBlock& block, const BlockGeometry& geometry);
    bool readLines(int32_t* lines, int count);
    int decode(AdaptiveHuffmanModel& model);
    StreamError failure() const;
    // The bit position when counting, else nothing to compute.
    int64_t mark() const {
        if constexpr (kCountBits) return bits_.bitPosition();
        return 0;
    }
    void count(int64_t FrameBitShares::*share, int64_t from) {
        if constexpr (kCountBits) bitShares_.*share += bits_.bitPosition() - from;
    }

    PayloadBitReader bits_;
    AdaptiveHuffmanModel sideModel_;
    AdaptiveHuffmanModel scalefactorModel_;
    AdaptiveHuffmanModel lineModel_;
    AdaptiveHuffmanModel runModel_;
    bool badEscape_ = false;
    FrameBitShares bitShares_;

    // The unread input: in buffer_ when pushed, in the caller's memory when
    // given whole.
    std::unique_ptr<uint8_t[]> buffer_;  // kInputCapacity bytes, taken at the first push
    const uint8_t* unread_ = nullptr;
    std::size_t unreadSize_ = 0;
    bool ended_ = false;
    bool borrowed_ = false;
};

using FramePayloadReader = BasicFramePayloadReader<false>;
using CountingFramePayloadReader = BasicFramePayloadReader<true>;

extern template class BasicFramePayloadReader<false>;
extern template class BasicFramePayloadReader<true>;

}  // namespace qmz
