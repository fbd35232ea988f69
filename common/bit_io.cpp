#include "common/bit_io.h"

#include <ostream>

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
    out_.write(reinterpret_cast<const char*>(buffer_.data()), static_cast<std::streamsize>(used_));
    used_ = 0;
}

bool PayloadBitWriter::flush() {
    drain();
    out_.flush();
    return static_cast<bool>(out_);
}

}  // namespace qmz
