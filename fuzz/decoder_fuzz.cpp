// The whole decoder on arbitrary bytes taken as a .qmz file: header checks,
// payload reading, dequantisation, synthesis and sample conversion. At most
// 300 frames are decoded per input, so that a header claiming billions of
// samples cannot stall the fuzzer. The payload is pushed in pieces of an odd
// size, so frames straddle the pieces.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "decoder/decode_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    qmz::ContainerFile file;
    if (qmz::readQmzHeader(in, file) != qmz::DecodeError::None) return 0;
    auto decoder = std::make_unique<qmz::Decoder>(file);
    const uint8_t* payload = data + qmz::kContainerHeaderSize;
    std::size_t left = size - qmz::kContainerHeaderSize;
    std::array<int16_t, qmz::kFrameLength * qmz::kMaxChannels> pcm;
    for (int frame = 0; frame < 300;) {
        int frames = 0;
        const qmz::DecodeStatus status = decoder->decodeFrame(pcm.data(), frames);
        if (status == qmz::DecodeStatus::NeedInput) {
            if (left == 0) {
                decoder->endInput();
                continue;
            }
            const std::size_t taken = decoder->push(payload, std::min<std::size_t>(left, 977));
            payload += taken;
            left -= taken;
            continue;
        }
        if (status != qmz::DecodeStatus::Frame) break;
        if (frames < 0 || frames > qmz::kFrameLength) __builtin_trap();
        ++frame;
    }
    return 0;
}
