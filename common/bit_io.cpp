#include "common/bit_io.h"

#include <istream>
#include <limits>

namespace qmz {

void PayloadBitWriter::flushPartialByte() {
    if (fill_ == 0) return;
    emitByte(static_cast<uint8_t>(pending_));
    bitCount_ += 8;
    pending_ = 0;
    fill_ = 0;
}

void PayloadBitWriter::putRawBytes(const uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) emitByte(bytes[i]);
}

void PayloadBitWriter::putFinalByte() {
    emitByte(static_cast<uint8_t>(pending_));
    pending_ = 0;
    fill_ = 0;
}

void PayloadBitWriter::drain() {
    if (used_ > 0 && !failed_) failed_ = !out_.put(buffer_.data(), used_);
    used_ = 0;
}

bool PayloadBitWriter::flush() {
    drain();
    return !failed_;
}

bool PayloadBitReader::refill() {
    if (pastEnd_ || !in_) return false;
    in_.read(reinterpret_cast<char*>(buffer_.data()), static_cast<std::streamsize>(buffer_.size()));
    next_ = 0;
    end_ = static_cast<std::size_t>(in_.gcount());
    bytesLoaded_ += static_cast<int64_t>(end_);
    return end_ > 0;
}

int64_t PayloadBitReader::skipToEnd() {
    auto skipped = static_cast<int64_t>(end_ - next_);
    next_ = end_;
    if (!pastEnd_ && in_) {
        in_.ignore(std::numeric_limits<std::streamsize>::max());
        skipped += static_cast<int64_t>(in_.gcount());
    }
    return skipped;
}

bool PayloadBitReader::getRawBytes(uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) bytes[i] = nextByte();
    return !pastEnd_;
}

}  // namespace qmz
