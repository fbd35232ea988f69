#include "common/bit_io.h"

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

}  // namespace qmz
