#include "io/riff_info.h"

#include <cstring>
#include <string>
#include <string_view>

namespace qmz {
namespace {

struct InfoName {
    char id[5];
    const char* field;
};

constexpr InfoName kInfoNames[] = {
    {"INAM", "TITLE"},       {"IART", "ARTIST"}, {"IPRD", "ALBUM"},   {"ICRD", "DATE"},
    {"ITRK", "TRACKNUMBER"}, {"IGNR", "GENRE"},  {"ICMT", "COMMENT"}, {"ICOP", "COPYRIGHT"},
};

void appendU32(std::vector<uint8_t>& out, std::size_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t readU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string latin1ToUtf8(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | byte >> 6);
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

}  // namespace

std::vector<uint8_t> makeInfoChunk(const Tags& tags) {
    std::vector<uint8_t> body = {'I', 'N', 'F', 'O'};
    for (const InfoName& name : kInfoNames) {
        const std::string* value = tags.find(name.field);
        if (value == nullptr || value->empty()) continue;
        body.insert(body.end(), name.id, name.id + 4);
        appendU32(body, value->size() + 1);  // the text and its terminating NUL
        body.insert(body.end(), value->begin(), value->end());
        body.push_back(0);
        if (body.size() % 2 != 0) body.push_back(0);  // sub-chunks start on even offsets
    }
    if (body.size() == 4) return {};
    std::vector<uint8_t> chunk = {'L', 'I', 'S', 'T'};
    appendU32(chunk, body.size());
    chunk.insert(chunk.end(), body.begin(), body.end());
    return chunk;
}

void parseInfoList(std::span<const uint8_t> body, Tags& tags) {
    if (body.size() < 4 || std::memcmp(body.data(), "INFO", 4) != 0) return;
    std::size_t at = 4;
    while (body.size() - at >= 8) {
        const uint8_t* const id = body.data() + at;
        const uint32_t size = readU32(id + 4);
        at += 8;
        if (size > body.size() - at) return;  // a cut list: keep what was whole
        std::string_view text(reinterpret_cast<const char*>(body.data() + at), size);
        text = text.substr(0, text.find('\0'));
        at += size + (size & 1u);
        for (const InfoName& name : kInfoNames) {
            if (std::memcmp(id, name.id, 4) != 0 || text.empty()) continue;
            tags.set(name.field, isValidUtf8(text) ? std::string(text) : latin1ToUtf8(text));
        }
        if (at > body.size()) return;
    }
}

}  // namespace qmz
