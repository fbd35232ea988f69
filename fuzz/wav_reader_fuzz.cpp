// Parses arbitrary bytes as a WAV header from memory and, when the parse
// succeeds, reads sample frames to the end of the stream the way the encode
// loop does (through the 16-bit conversion for other sample formats): the
// data size bounds the read, and so does a limit on calls.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>

#include "io/sample_conversion.h"
#include "io/wav_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    qmz::WavInput wav;
    if (qmz::parseWavHeader(in, wav) != qmz::WavReadError::Ok) return 0;

    const int channels = wav.format.channels();
    if (channels != 1 && channels != 2) __builtin_trap();  // the parse must refuse these
    if (static_cast<std::streamoff>(in.tellg()) < 44) __builtin_trap();
    if (wav.format.sampleRate() == 0) __builtin_trap();
    // Whatever came in, the container is told of 16-bit PCM (a plain 16-bit
    // block is kept as it was, for the same bytes as ever).
    if (wav.format.formatTag() != 1 || wav.format.bitsPerSample() != 16) __builtin_trap();
    if (wav.sampleFormat != qmz::SampleFormat::Int16 &&
        (wav.format.blockAlign() != 2 * channels ||
         wav.format.byteRate() != wav.format.sampleRate() * wav.format.blockAlign()))
        __builtin_trap();

    std::optional<qmz::SixteenBitSamples> converter;
    std::optional<std::istream> converted;
    std::istream& samples = wav.sampleFormat == qmz::SampleFormat::Int16
                                ? in
                                : converted.emplace(&converter.emplace(in, wav.sampleFormat, channels));

    static double left[qmz::kMaxReadFrames], right[qmz::kMaxReadFrames];
    double* const out[2] = {left, right};
    const uint64_t frameBytes = 2u * static_cast<uint64_t>(channels);
    uint64_t remaining = wav.dataChunk.size / frameBytes;
    for (int calls = 0; remaining > 0 && calls < 4096; ++calls) {
        const int want =
            remaining < qmz::kMaxReadFrames ? static_cast<int>(remaining) : qmz::kMaxReadFrames;
        const int got = qmz::readSampleFrames(samples, channels, want, out);
        // A memory stream is seekable, so the size was fitted to the bytes
        // present: every frame it promises must be there.
        if (got != want) __builtin_trap();
        remaining -= static_cast<uint64_t>(got);
    }
    return 0;
}
