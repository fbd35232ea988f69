// Deterministic music-like test signals: a few tones with harmonics and
// vibrato, a bass line, noise bursts, and a sharp click every half second,
// panned differently on the two channels. Used by the tests, the benchmark
// and the demo, so that all three measure the same kind of input.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace qmz::signals {

struct MusicSignal {
    int channels = 2;
    int sampleRate = 44100;
    double amplitude = 9000.0;  // peak of the tonal part, in 16-bit units

    // Sample frame i of channel c, already rounded and clipped to 16 bits.
    int16_t sample(int64_t i, int c) const {
        const double t = static_cast<double>(i) / sampleRate;
        const double kTwoPi = 6.283185307179586;
        double x = 0.0;
        // A melody of three voices, each with a few harmonics and slow vibrato.
        const double notes[] = {220.0, 277.18, 329.63, 440.0, 369.99, 293.66};
        const int step = static_cast<int>(t * 2.0);  // a new chord every half second
        // The vibrato (5 Hz, +-0.3 % in frequency) enters through the phase,
        // the integral of the frequency, so its swing stays the same all along.
        const double vibratoPhase = t - 0.003 * std::cos(kTwoPi * 5.0 * t) / (kTwoPi * 5.0);
        for (int v = 0; v < 3; ++v) {
            const double f = notes[(step + 2 * v) % 6] * (v == 2 ? 2.0 : 1.0);
            for (int h = 1; h <= 4; ++h) x += std::sin(kTwoPi * f * h * vibratoPhase + v) / (h * h);
        }
        x += 0.8 * std::sin(kTwoPi * 55.0 * t);  // bass
        x *= amplitude / 4.0;
        // Noise bursts, a quarter second long, once every two seconds.
        if (std::fmod(t, 2.0) > 1.0 && std::fmod(t, 2.0) < 1.25) x += 0.3 * amplitude * noise(i, c);
        // A sharp one-sided click, decaying within a few milliseconds, every half second.
        const int64_t period = sampleRate / 2;
        const int64_t phase = i % period;
        if (phase < 64) x += 0.9 * 32767.0 * std::exp(-phase / 8.0);
        const double pan = c == 0 ? 1.0 : 0.7;
        return static_cast<int16_t>(std::clamp(std::lround(x * pan), -32768L, 32767L));
    }

    static double noise(int64_t i, int c) {
        auto s =
            static_cast<uint32_t>(i * 2654435761u + static_cast<uint32_t>(c) * 40503u + 12345u);
        s ^= s >> 15;
        s *= 2246822519u;
        s ^= s >> 13;
        return static_cast<double>(s & 0xFFFF) / 32768.0 - 1.0;
    }
};

// A canonical 44-byte-header PCM WAV file image.
inline std::string wavFileImage(const std::vector<int16_t>& interleaved, int channels,
                                int sampleRate = 44100) {
    std::string out;
    auto put32 = [&out](uint32_t v) {
        for (int b = 0; b < 4; ++b) out += static_cast<char>((v >> (8 * b)) & 0xFF);
    };
    auto put16 = [&out](uint16_t v) {
        out += static_cast<char>(v & 0xFF);
        out += static_cast<char>(v >> 8);
    };
    const auto dataSize = static_cast<uint32_t>(interleaved.size() * 2);
    out += "RIFF";
    put32(36 + dataSize);
    out += "WAVEfmt ";
    put32(16);
    put16(1);
    put16(static_cast<uint16_t>(channels));
    put32(static_cast<uint32_t>(sampleRate));
    put32(static_cast<uint32_t>(sampleRate * channels * 2));
    put16(static_cast<uint16_t>(channels * 2));
    put16(16);
    out += "data";
    put32(dataSize);
    for (int16_t s : interleaved) put16(static_cast<uint16_t>(s));
    return out;
}

inline std::vector<int16_t> render(const MusicSignal& signal, int64_t frames) {
    std::vector<int16_t> out(static_cast<std::size_t>(frames * signal.channels));
    for (int64_t i = 0; i < frames; ++i) {
        for (int c = 0; c < signal.channels; ++c)
            out[static_cast<std::size_t>(i * signal.channels + c)] = signal.sample(i, c);
    }
    return out;
}

}  // namespace qmz::signals
