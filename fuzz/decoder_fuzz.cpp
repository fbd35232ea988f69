// The whole decoder on arbitrary bytes taken as a .qmz file: header checks,
// payload reading, dequantisation, synthesis and sample conversion. At most
// 300 frames are decoded per input, so that a header claiming billions of
// samples cannot stall the fuzzer. When the decode ends within them, the
// inspector (qmzinfo) must reach the same verdict on the same bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "decoder/decode_file.h"
#include "decoder/stream_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::istringstream in(bytes);
    qmz::ContainerFile file;
    qmz::DecodeError error = qmz::readQmzHeader(in, file);
    if (error == qmz::DecodeError::None) {
        auto decoder = std::make_unique<qmz::Decoder>(in, file);
        std::array<int16_t, qmz::kFrameLength * qmz::kMaxChannels> pcm;
        for (int frame = 0; frame < 300 && !decoder->finished(); ++frame) {
            int frames = 0;
            error = decoder->decodeFrame(pcm.data(), frames);
            if (error != qmz::DecodeError::None) break;
            if (frames < 0 || frames > qmz::kFrameLength) __builtin_trap();
        }
        if (!decoder->finished()) return 0;
    }
    std::istringstream again(bytes);
    if (qmz::inspectStream(again).verdict() != error) __builtin_trap();
    return 0;
}
