// The whole decoder on arbitrary bytes taken as a .qmz file: header checks,
// payload reading, dequantisation, synthesis and sample conversion. At most
// 300 frames are decoded per input, so that a header claiming billions of
// samples cannot stall the fuzzer.
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
    auto decoder = std::make_unique<qmz::Decoder>(in, file);
    std::array<int16_t, qmz::kFrameLength * qmz::kMaxChannels> pcm;
    for (int frame = 0; frame < 300 && !decoder->finished(); ++frame) {
        int frames = 0;
        if (decoder->decodeFrame(pcm.data(), frames) != qmz::DecodeError::None) break;
        if (frames < 0 || frames > qmz::kFrameLength) __builtin_trap();
    }
    return 0;
}
