// Test helpers: code symbols into an in-memory stream and read them back.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "common/bit_io.h"

namespace qmz::test {

// Unpacks bytes into a string of '0'/'1' in stream order (LSB first).
inline std::string bitsOf(const std::string& bytes, std::size_t bitCount) {
    std::string bits;
    for (std::size_t i = 0; i < bitCount; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i / 8]);
        bits += ((byte >> (i % 8)) & 1) ? '1' : '0';
    }
    return bits;
}

inline std::vector<uint8_t> bytesOf(const std::string& s) {
    return {s.begin(), s.end()};
}

}  // namespace qmz::test
