// The whole decoder on arbitrary bytes taken as a .qmz file: header checks,
// payload reading, dequantisation, synthesis and sample conversion. At most
// 300 frames are decoded per input, so that a header claiming billions of
// samples cannot stall the fuzzer. The payload is pushed in pieces of an odd
// size, so frames straddle the pieces. When the decode ends within those
// frames, the inspector (qmzinfo) must reach the same verdict on the same
// bytes.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "io/decode_file.h"
#include "io/stream_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qmz::ContainerFile file;
    qmz::DecodeError error = qmz::readContainerHeader(data, size, file);
    if (error == qmz::DecodeError::None) {
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
            error = qmz::errorOf(status);
            if (status != qmz::DecodeStatus::Frame) break;
            if (frames < 0 || frames > qmz::kFrameLength) __builtin_trap();
            ++frame;
        }
        if (!decoder->finished()) return 0;
    }
    std::istringstream again(std::string(reinterpret_cast<const char*>(data), size));
    if (qmz::inspectStream(again).verdict() != error) __builtin_trap();
    return 0;
}
