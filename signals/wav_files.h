// Whole-file helpers for the speed tool and the demo: writing a MusicSignal
// to a WAV file in chunks, and comparing two WAV files sample by sample, also
// in chunks, so that neither ever holds a whole file in memory. The
// comparison reads through the encoder's WAV reader (link qmz_encoder).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "io/wav_reader.h"
#include "signals/music_signal.h"

namespace qmz::signals {

// Writes `frames` sample frames of `signal` as a canonical 16-bit PCM WAV
// file. False when the file cannot be written or the data would not fit the
// 32-bit size field.
inline bool writeMusicWav(const std::string& path, const MusicSignal& signal, int64_t frames) {
    const int64_t dataBytes = frames * signal.channels * 2;
    if (frames < 0 || dataBytes > std::numeric_limits<uint32_t>::max() - 36) return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    std::string header = wavFileImage({}, signal.channels, signal.sampleRate);
    for (int b = 0; b < 4; ++b) {
        header[4 + b] = static_cast<char>(((36 + dataBytes) >> (8 * b)) & 0xFF);
        header[40 + b] = static_cast<char>((dataBytes >> (8 * b)) & 0xFF);
    }
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    constexpr int64_t kChunk = 4096;
    std::vector<char> bytes(static_cast<std::size_t>(kChunk * signal.channels * 2));
    for (int64_t start = 0; start < frames && out; start += kChunk) {
        const int64_t n = std::min(kChunk, frames - start);
        std::size_t k = 0;
        for (int64_t i = start; i < start + n; ++i) {
            for (int c = 0; c < signal.channels; ++c) {
                const auto v = static_cast<uint16_t>(signal.sample(i, c));
                bytes[k++] = static_cast<char>(v & 0xFF);
                bytes[k++] = static_cast<char>(v >> 8);
            }
        }
        out.write(bytes.data(), static_cast<std::streamsize>(k));
    }
    out.close();
    return static_cast<bool>(out);
}

struct WavComparison {
    bool readable = false;        // both files opened and parsed as WAV
    int64_t referenceFrames = 0;  // sample frames per channel in each file
    int64_t testFrames = 0;
    int64_t comparedFrames = 0;  // the shorter of the two
    double signalEnergy = 0.0;   // sum of squared reference samples
    double errorEnergy = 0.0;    // sum of squared differences
    int maxAbsError = 0;

    // Signal-to-noise ratio in dB; infinite for identical files.
    double snrDb() const {
        if (errorEnergy == 0.0) return std::numeric_limits<double>::infinity();
        return 10.0 * std::log10(signalEnergy / errorEnergy);
    }
};

// Compares the overlapping sample frames of two WAV files with the same
// channel count (a different count leaves `readable` false).
inline WavComparison compareWavFiles(const std::string& reference, const std::string& test) {
    WavComparison result;
    std::ifstream refIn, testIn;
    WavInput refWav, testWav;
    if (openWav(reference, refIn, refWav) != WavReadError::Ok ||
        openWav(test, testIn, testWav) != WavReadError::Ok) {
        return result;
    }
    const int channels = refWav.format.channels();
    if (testWav.format.channels() != channels) return result;
    result.readable = true;
    result.referenceFrames = refWav.dataChunk.size / (2 * channels);
    result.testFrames = testWav.dataChunk.size / (2 * channels);
    const int64_t total = std::min(result.referenceFrames, result.testFrames);
    std::array<std::array<double, kMaxReadFrames>, 2> a{}, b{};
    double* const aOut[2] = {a[0].data(), a[1].data()};
    double* const bOut[2] = {b[0].data(), b[1].data()};
    while (result.comparedFrames < total) {
        const int want =
            static_cast<int>(std::min<int64_t>(kMaxReadFrames, total - result.comparedFrames));
        const int n = std::min(readSampleFrames(refIn, channels, want, aOut),
                               readSampleFrames(testIn, channels, want, bOut));
        if (n <= 0) break;
        for (int c = 0; c < channels; ++c) {
            for (int i = 0; i < n; ++i) {
                const double d = b[c][i] - a[c][i];
                result.signalEnergy += a[c][i] * a[c][i];
                result.errorEnergy += d * d;
                result.maxAbsError = std::max(result.maxAbsError, static_cast<int>(std::abs(d)));
            }
        }
        result.comparedFrames += n;
    }
    return result;
}

}  // namespace qmz::signals
