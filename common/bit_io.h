// Bit packing of the payload: bits are packed least significant bit first,
// so the first bit of the stream is bit 0 of its first byte.
//
// The writer keeps a small byte buffer in front of its sink so that a bit
// costs a shift and a compare, not a call. The reader works on bytes in
// memory and never runs off their end: past the end every byte reads as 0xFF
// (every further bit is 1) and a sticky flag records that the input ended
// early.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/byte_sink.h"

namespace qmz {

class PayloadBitWriter {
  public:
    explicit PayloadBitWriter(ByteSink& out) : out_(out) {}
    PayloadBitWriter(const PayloadBitWriter&) = delete;
    PayloadBitWriter& operator=(const PayloadBitWriter&) = delete;

    void putBit(int bit) { putBits(static_cast<uint64_t>(bit & 1), 1); }

    // Sends the low `count` bits of `bits` (count <= 64), bit 0 first. The
    // pending bits (fewer than 8) and the new ones are joined in a 64-bit
    // word whose whole bytes are stored at once.
    void putBits(uint64_t bits, int count) {
        if (count > 56) {
            putBits(bits, 32);
            bits >>= 32;
            count -= 32;
        }
        if (count < 64) bits &= (uint64_t{1} << count) - 1;
        const uint64_t word = pending_ | (bits << fill_);
        const int total = fill_ + count;  // at most 63
        const int whole = total >> 3;
        storeWord(word);
        used_ += static_cast<std::size_t>(whole);
        bitCount_ += 8 * whole;
        pending_ = whole == 0 ? word : word >> (8 * whole);
        fill_ = total & 7;
        if (used_ >= kBufferBytes) drain();
    }

    // Pads pending bits with zeros to the byte end; nothing when none are pending.
    void flushPartialByte();
    // Bytes written as they are (the resync record); the caller counts them.
    void putRawBytes(const uint8_t* bytes, std::size_t count);
    void addToBitCount(int64_t bits) { bitCount_ += bits; }
    // The stream's last byte: written whether or not bits are pending, never counted.
    void putFinalByte();
    // Hands buffered bytes to the sink; false when the sink has refused any.
    bool flush();

    // Bits of completed bytes, flushed partial bytes and counted raw bytes.
    int64_t bitCount() const { return bitCount_; }

    // Drops unsent bits and bytes and the count, as if just constructed.
    void restart() {
        failed_ = false;
        used_ = 0;
        pending_ = 0;
        fill_ = 0;
        bitCount_ = 0;
    }

  private:
    static constexpr std::size_t kBufferBytes = 4096;

    void drain();
    // Stores the eight bytes of `word`, least significant first, at the
    // buffer's end without counting them; the caller advances by the whole
    // bytes among them (the buffer has 8 bytes of room past kBufferBytes).
    void storeWord(uint64_t word) {
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(buffer_.data() + used_, &word, 8);
        } else {
            for (int b = 0; b < 8; ++b) buffer_[used_ + b] = static_cast<uint8_t>(word >> (8 * b));
        }
    }
    void emitByte(uint8_t byte) {
        buffer_[used_++] = byte;
        if (used_ >= kBufferBytes) drain();
    }

    ByteSink& out_;
    bool failed_ = false;
    std::array<uint8_t, kBufferBytes + 8> buffer_{};
    std::size_t used_ = 0;
    uint64_t pending_ = 0;  // bits not yet in a whole byte, from bit 0
    int fill_ = 0;          // how many: 0..7
    int64_t bitCount_ = 0;
};

// Reads the bits of the bytes it is given. The caller hands over its input
// piece by piece with setInput(); a byte begun in one piece finishes before
// the next piece is read, so a piece boundary may fall anywhere in a frame.
class PayloadBitReader {
  public:
    PayloadBitReader() = default;
    PayloadBitReader(const uint8_t* bytes, std::size_t size) { setInput(bytes, size); }
    PayloadBitReader(const PayloadBitReader&) = delete;
    PayloadBitReader& operator=(const PayloadBitReader&) = delete;

    // The next bytes to read, in place of what is left of the previous piece
    // (consumed() says how much of it was taken). Nothing is copied: the
    // bytes must stay until the next setInput().
    void setInput(const uint8_t* bytes, std::size_t size) {
        bytesBefore_ += static_cast<int64_t>(consumed());
        begin_ = next_ = bytes;
        end_ = bytes + size;
    }
    // Bytes of the current piece taken so far (a byte whose bits are being
    // read counts as taken).
    std::size_t consumed() const { return static_cast<std::size_t>(next_ - begin_); }

    int getBit() {
        if (mask_ > 0x80) {
            current_ = nextByte();
            mask_ = 1;
        }
        const int bit = (current_ & mask_) != 0;
        mask_ <<= 1;
        return bit;
    }

    // Descends a code tree stored in node order from its root, entry 0: an
    // entry v > 0 is an internal node whose children are entries v (bit 0)
    // and v - 1 (bit 1); an entry v < 0 is a leaf. Writes the index of every
    // entry passed below the root to `path`, in order, sets `depth` to their
    // number (the bits read) and returns the leaf's entry. The same bits as
    // getBit() per level, with the reader's state held in registers for the
    // whole walk.
    int32_t descend(const int32_t* tree, int32_t* path, int& depth) {
        uint16_t current = current_, mask = mask_;
        std::ptrdiff_t node = tree[0];
        int count = 0;
        while (node > 0) {
            if (mask > 0x80) {
                current = nextByte();
                mask = 1;
            }
            const std::ptrdiff_t index = node - ((current & mask) != 0);
            mask = static_cast<uint16_t>(mask << 1);
            path[count++] = static_cast<int32_t>(index);
            node = tree[index];
        }
        current_ = current;
        mask_ = mask;
        depth = count;
        return static_cast<int32_t>(node);
    }

    // Drops the unread bits of the current byte: the next bit starts a fresh byte.
    void restartAtByteBoundary() { mask_ = 0x200; }
    // Forgets every piece and position, as if newly made (a decoder that
    // starts over elsewhere in the stream).
    void reset() {
        begin_ = next_ = end_ = nullptr;
        bytesBefore_ = 0;
        current_ = 0;
        mask_ = 0x200;
        pastEnd_ = false;
    }
    // Reads bytes outside the bit packing (the resync record); false when the
    // input ended before all of them arrived.
    bool getRawBytes(uint8_t* bytes, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) bytes[i] = nextByte();
        return !pastEnd_;
    }
    // True once a byte was wanted after the end of the current piece.
    bool pastEnd() const { return pastEnd_; }
    // True when no bit of a loaded byte is left unread.
    bool atByteBoundary() const { return mask_ > 0x80; }
    // Bits taken from all pieces so far, the unread rest of a dropped byte
    // included; it stops growing at the end of the input.
    int64_t bitPosition() const {
        const int64_t bytes = bytesBefore_ + static_cast<int64_t>(consumed());
        int unread = 0;  // bits of the current byte not yet read
        for (uint16_t m = mask_; m <= 0x80; m <<= 1) ++unread;
        return bytes * 8 - unread;
    }

  private:
    uint8_t nextByte() {
        if (next_ == end_) {
            pastEnd_ = true;
            return 0xFF;
        }
        return *next_++;
    }

    const uint8_t* begin_ = nullptr;
    const uint8_t* next_ = nullptr;
    const uint8_t* end_ = nullptr;
    int64_t bytesBefore_ = 0;  // taken from the pieces before this one
    uint16_t current_ = 0;
    uint16_t mask_ = 0x200;
    bool pastEnd_ = false;
};

}  // namespace qmz
