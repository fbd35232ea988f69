// qmz_demo: one real encode and decode through the library.
//
// Without arguments it writes ten seconds of a deterministic stereo music-like
// signal to a WAV file in a temporary directory, encodes it with preset -A
// into a .qmz file, decodes that back into a WAV file, and prints the sizes,
// speeds and the decoded signal's error against the input.
//
//   qmz_demo [input.wav] [preset]     e.g.  qmz_demo song.wav -B
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "io/decode_file.h"
#include "io/encode_file.h"
#include "signals/wav_files.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Reports a failure and removes the temporary directory (when made).
int fail(const std::string& what, const fs::path& work = {}) {
    std::fprintf(stderr, "qmz_demo: %s\n", what.c_str());
    std::error_code ignored;
    if (!work.empty()) fs::remove_all(work, ignored);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string input, preset = "-A";
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        (argument.size() > 1 && argument[0] == '-' ? preset : input) = argument;
    }
    const std::string presets[] = {"-AAA", "-AA", "-A", "-B", "-C", "-D", "-E"};
    if (std::find(std::begin(presets), std::end(presets), preset) == std::end(presets))
        return fail("unknown preset " + preset + " (one of -AAA -AA -A -B -C -D -E)");
    std::string pattern = (fs::temp_directory_path() / "qmz_demo.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return fail("cannot create a temporary directory");
    const fs::path work = pattern;
    if (input.empty()) {
        input = (work / "music.wav").string();
        const qmz::signals::MusicSignal signal;
        if (!qmz::signals::writeMusicWav(input, signal, 10 * signal.sampleRate))
            return fail("cannot write " + input, work);
        std::printf(
            "input: 10 s of a generated stereo music-like signal (tones, bass, noise "
            "bursts, clicks)\n");
    }
    const std::string coded = (work / (fs::path(input).stem().string() + ".qmz")).string();
    const std::string decoded =
        (work / (fs::path(input).stem().string() + ".decoded.wav")).string();

    // Encode, file to file, as qmzenc does.
    auto start = Clock::now();
    std::ifstream wav;
    qmz::WavInput header;
    if (const auto error = qmz::openWav(input, wav, header); error != qmz::WavReadError::Ok)
        return fail(input + ": " + qmz::describeWavReadError(error), work);
    std::ofstream qmzOut(coded, std::ios::binary | std::ios::trunc);
    const qmz::EncodeFileResult encoded =
        qmz::encodeWav(wav, header, qmzOut, qmz::parseEncoderOptions({preset}), nullptr);
    qmzOut.close();
    const double encodeSeconds = secondsSince(start);
    if (encoded.writeFailed || encoded.internalError || !qmzOut)
        return fail("encoding " + input + " failed", work);

    // Decode, file to file, as qmzdec does.
    start = Clock::now();
    std::ifstream qmzIn(coded, std::ios::binary);
    std::ofstream wavOut(decoded, std::ios::binary | std::ios::trunc);
    const qmz::DecodeFileResult result = qmz::decodeFile(qmzIn, wavOut);
    wavOut.close();
    const double decodeSeconds = secondsSince(start);
    if (result.error != qmz::DecodeError::None)
        return fail(coded + ": " + qmz::describeDecodeError(result.error), work);
    if (result.writeFailed || !wavOut) return fail("writing " + decoded + " failed", work);

    const qmz::signals::WavComparison error = qmz::signals::compareWavFiles(input, decoded);
    if (!error.readable) return fail("cannot compare " + input + " with " + decoded, work);
    if (encoded.samplesPerChannel <= 0) return fail(input + " holds no samples", work);
    const double audioSeconds =
        encoded.samplesPerChannel / static_cast<double>(header.format.sampleRate());
    const auto wavBytes = static_cast<double>(fs::file_size(input));
    const auto qmzBytes = static_cast<double>(fs::file_size(coded));
    std::printf("  length:        %.2f s, %d channel(s), %lld sample frames\n", audioSeconds,
                header.format.channels(), static_cast<long long>(encoded.samplesPerChannel));
    std::printf("  preset:        %s (%d frames: %d long, %d start, %d short, %d stop)\n",
                preset.c_str(), encoded.frames, encoded.blockTypeCounts[0],
                encoded.blockTypeCounts[1], encoded.blockTypeCounts[2], encoded.blockTypeCounts[3]);
    std::printf("  bit rate:      %.1f kbit/s (file size), %.1f kbit/s (payload, header)\n",
                qmzBytes * 8.0 / audioSeconds / 1000.0, encoded.avgBitRate / 1000.0);
    std::printf("  compression:   %.0f -> %.0f bytes, %.2f:1\n", wavBytes, qmzBytes,
                wavBytes / qmzBytes);
    std::printf("  encode speed:  %.1fx real time (%.3f s)\n", audioSeconds / encodeSeconds,
                encodeSeconds);
    std::printf("  decode speed:  %.1fx real time (%.3f s)\n", audioSeconds / decodeSeconds,
                decodeSeconds);
    std::printf("  decoded error: SNR %.2f dB, max abs sample error %d over %lld sample frames\n",
                error.snrDb(), error.maxAbsError, static_cast<long long>(error.comparedFrames));
    if (error.testFrames != error.referenceFrames)
        std::printf("  note: the decoded file holds %lld sample frames, the input %lld\n",
                    static_cast<long long>(error.testFrames),
                    static_cast<long long>(error.referenceFrames));
    std::printf("  files:         %s\n                 %s\n                 %s\n", input.c_str(),
                coded.c_str(), decoded.c_str());
    return 0;
}
