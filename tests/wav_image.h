// Assembles RIFF/WAVE byte images in memory for the WAV tests and the fuzz seeds.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace qmz::test {

inline std::string le16(uint32_t v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}

inline std::string le32(uint32_t v) {
    return le16(v & 0xFFFF) + le16(v >> 16);
}

// A chunk header with an arbitrary declared size.
inline std::string chunkHeader(const std::string& id, uint32_t size) {
    return id + le32(size);
}

// A whole chunk: header, body and (when the body is odd and pad is set) the pad byte.
inline std::string chunk(const std::string& id, const std::string& body, bool pad = true) {
    std::string c = chunkHeader(id, static_cast<uint32_t>(body.size())) + body;
    if (pad && (body.size() & 1)) c += '\0';
    return c;
}

// The 16-byte format block.
inline std::string formatBlock(uint16_t tag, uint16_t channels, uint32_t rate = 44100,
                               uint16_t bits = 16) {
    const uint32_t align = channels * bits / 8;
    return le16(tag) + le16(channels) + le32(rate) + le32(rate * align) + le16(align) + le16(bits);
}

inline std::string samples(std::initializer_list<int16_t> values) {
    std::string s;
    for (int16_t v : values) s += le16(static_cast<uint16_t>(v));
    return s;
}

// "RIFF" size "WAVE" followed by the given chunks; the RIFF size is correct.
inline std::string riffWave(const std::string& chunks) {
    return "RIFF" + le32(static_cast<uint32_t>(chunks.size() + 4)) + "WAVE" + chunks;
}

// A canonical 44-byte-header file.
inline std::string canonicalWav(uint16_t channels, const std::string& data) {
    return riffWave(chunk("fmt ", formatBlock(1, channels)) + chunk("data", data));
}

}  // namespace qmz::test
