// The whole encoder on arbitrary bytes taken as a WAV file: header parsing,
// the conversion of 24/32-bit and float samples, the frame loop with the psychoacoustic model, block switching, quantiser
// and payload writer. The coded length is capped at two seconds per input.
// Whatever the samples, the stream written must decode without error.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "io/decode_file.h"
#include "io/encode_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream wav(std::string(reinterpret_cast<const char*>(data), size));
    qmz::WavInput input;
    if (qmz::parseWavHeader(wav, input) != qmz::WavReadError::Ok) return 0;
    qmz::EncoderOptions options;
    options.clipSeconds = 2.0f;
    if (size > 2) {  // let the input pick a preset too
        static const char* const presets[] = {"-AAA", "-AA", "-A", "-B", "-C", "-D", "-E"};
        options = qmz::parseEncoderOptions({presets[data[size - 1] % 7], "-td", "2"});
    }
    std::ostringstream qmz;
    const qmz::EncodeFileResult result = qmz::encodeWav(wav, input, qmz, options, nullptr);
    if (result.writeFailed || result.internalError) __builtin_trap();
    // A memory stream delivers every byte its length promised.
    if (result.inputEndedEarly || result.inputTooLong) __builtin_trap();

    std::istringstream coded(qmz.str());
    std::ostringstream decoded;
    const qmz::DecodeFileResult back = qmz::decodeFile(coded, decoded);
    if (back.error != qmz::DecodeError::None || back.framesWritten != result.samplesPerChannel) __builtin_trap();
    return 0;
}
