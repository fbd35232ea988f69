// qmz_roundtrip: encodes two seconds of a stereo chord held in memory into a
// .qmz byte string and decodes it back, through the installed library only.
//
//   qmz_roundtrip [preset]     preset one of AAA AA A B C D E (default A)
//
// Prints the sizes and the signal-to-noise ratio of the round trip; exits
// non-zero when anything fails or the decoded audio does not match the input
// in length or (coarsely) in content.
#include <qmz/codec.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<int16_t> chord(int frames, int sampleRate) {
    std::vector<int16_t> pcm(static_cast<std::size_t>(frames) * 2);
    const double pi = 3.141592653589793;
    for (int i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / sampleRate;
        const double left = std::sin(2 * pi * 261.63 * t) + 0.5 * std::sin(2 * pi * 329.63 * t);
        const double right = std::sin(2 * pi * 392.00 * t) + 0.5 * std::sin(2 * pi * 523.25 * t);
        pcm[2 * i] = static_cast<int16_t>(std::lround(8000.0 * left));
        pcm[2 * i + 1] = static_cast<int16_t>(std::lround(8000.0 * right));
    }
    return pcm;
}

int fail(const char* step, qmz::Status status) {
    std::fprintf(stderr, "qmz_roundtrip: %s: %s\n", step, qmz::describeStatus(status));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* names[] = {"AAA", "AA", "A", "B", "C", "D", "E"};
    qmz::EncodeSettings settings;
    if (argc > 1) {
        int found = -1;
        for (int i = 0; i < 7; ++i) found = std::strcmp(argv[1], names[i]) == 0 ? i : found;
        if (found < 0) {
            std::fprintf(stderr, "usage: qmz_roundtrip [AAA|AA|A|B|C|D|E]\n");
            return 2;
        }
        settings.preset = static_cast<qmz::QualityPreset>(found);
    }
    const int sampleRate = 44100, frames = 2 * sampleRate;
    const std::vector<int16_t> input = chord(frames, sampleRate);

    // Encode: feed the buffer in pieces, as a program producing audio would.
    std::stringstream qmzBytes;
    qmz::StreamEncoder encoder(qmz::PcmFormat{2, sampleRate}, qmzBytes, settings);
    for (int at = 0; at < frames && encoder.status() == qmz::Status::Ok; at += 4410)
        encoder.write(input.data() + 2 * at, static_cast<std::size_t>(std::min(4410, frames - at)));
    if (const qmz::Status s = encoder.finish(); s != qmz::Status::Ok) return fail("encoding", s);
    const std::string coded = qmzBytes.str();

    // Decode from the bytes in memory.
    std::istringstream source(coded);
    qmz::StreamDecoder decoder(source);
    if (decoder.status() != qmz::Status::Ok) return fail("opening the decoder", decoder.status());
    std::vector<int16_t> output, piece(2 * 1000);
    while (const std::size_t n = decoder.read(piece.data(), 1000))
        output.insert(output.end(), piece.begin(), piece.begin() + 2 * static_cast<long>(n));
    if (decoder.status() != qmz::Status::Ok) return fail("decoding", decoder.status());

    double signal = 0, noise = 0;
    for (std::size_t i = 0; i < input.size() && i < output.size(); ++i) {
        signal += static_cast<double>(input[i]) * input[i];
        noise += (static_cast<double>(input[i]) - output[i]) * (input[i] - output[i]);
    }
    const double snr = 10.0 * std::log10(signal / std::max(noise, 1e-9));
    std::printf("preset %s: %d sample frames, %zu PCM bytes -> %zu .qmz bytes (%.1f:1, %d bit/s)\n",
                names[static_cast<int>(settings.preset)], frames, input.size() * 2, coded.size(),
                static_cast<double>(input.size() * 2) / static_cast<double>(coded.size()),
                encoder.summary().averageBitRate);
    std::printf("decoded %zu sample frames, SNR %.1f dB\n", output.size() / 2, snr);
    if (output.size() != input.size()) {
        std::fprintf(stderr, "qmz_roundtrip: decoded length differs from the input\n");
        return 1;
    }
    if (snr < 10.0) {
        std::fprintf(stderr, "qmz_roundtrip: the decoded audio does not resemble the input\n");
        return 1;
    }
    return 0;
}
