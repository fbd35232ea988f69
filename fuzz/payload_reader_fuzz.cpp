// Feeds arbitrary bytes to the frame payload reader. The first byte picks the
// channel count (its low bit); the rest is the payload. Reads until the
// reader reports an error or a frame cap is reached, then the end of the
// stream and whatever follows it.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "decoder/payload_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int channels = 1 + (data[0] & 1);
    const std::string payload = std::string(reinterpret_cast<const char*>(data + 1), size - 1);
    qmz::FramePayloadReader reader;
    reader.setWholeInput(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    std::vector<qmz::ChannelBlocks> blocks(static_cast<std::size_t>(channels));
    int frame = 1;
    for (; frame <= 200; ++frame) {
        qmz::BlockType type;
        const qmz::StreamError error = reader.readFrame(blocks, type, frame);
        if (error == qmz::StreamError::Truncated || error == qmz::StreamError::BadEscape) break;
    }
    // What follows the last frame read: the end markers, then the rest.
    if (reader.readEndOfStream(frame) && reader.skipToEnd() < 0) __builtin_trap();
    return 0;
}
