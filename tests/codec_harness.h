// Test harness for whole-file encodes and decodes in memory.
#pragma once

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "common/little_endian.h"
#include "io/decode_file.h"
#include "io/encode_file.h"
#include "signals/music_signal.h"

namespace qmz::test {

inline std::string readDataFile(const std::string& name) {
    std::ifstream in(std::string(QMZ_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Collects the encoder's reports as the console text the program prints.
class TextObserver final : public EncoderObserver {
  public:
    std::string text;
    void onProgress(int percent) override { text += "\r " + std::to_string(percent) + "%"; }
    void onShortBlocksRequested() override { text += "*"; }
    void onRequestDropped() override { text += "+"; }
    void onQuantizerEvent(QuantizerEvent event) override { text += quantizerEventText(event); }
};

struct Encoded {
    std::string qmz;
    EncodeFileResult result;
    std::string console;
};

inline Encoded encodeImage(const std::string& wavImage,
                           const std::vector<std::string>& args = {"-A"}) {
    std::istringstream wav(wavImage);
    WavInput input;
    Encoded e;
    if (parseWavHeader(wav, input) != WavReadError::Ok) return e;
    std::ostringstream out;
    TextObserver observer;
    e.result = encodeWav(wav, input, out, parseEncoderOptions(args), &observer);
    e.qmz = out.str();
    e.console = observer.text;
    return e;
}

struct Decoded {
    DecodeFileResult result;
    std::string wav;
    std::vector<int16_t> samples;  // interleaved
};

inline Decoded decodeImage(const std::string& qmz) {
    std::istringstream in(qmz);
    std::ostringstream out;
    Decoded d;
    d.result = decodeFile(in, out);
    d.wav = out.str();
    for (std::size_t i = 44; i + 1 < d.wav.size(); i += 2) {
        d.samples.push_back(
            static_cast<int16_t>(loadLe16(reinterpret_cast<const uint8_t*>(d.wav.data() + i))));
    }
    return d;
}

// Signal-to-noise ratio of `decoded` against `original` in dB.
inline double snrDb(const std::vector<int16_t>& original, const std::vector<int16_t>& decoded) {
    double signal = 0, noise = 0;
    for (std::size_t i = 0; i < original.size() && i < decoded.size(); ++i) {
        signal += double(original[i]) * original[i];
        const double e = double(original[i]) - decoded[i];
        noise += e * e;
    }
    return 10.0 * std::log10(signal / std::max(noise, 1e-9));
}

inline uint32_t headerWord(const std::string& file, std::size_t offset) {
    return loadLe32(reinterpret_cast<const uint8_t*>(file.data() + offset));
}

}  // namespace qmz::test
