// qmz_seek_speed: how long a seek takes in a 10-minute file, and how far the
// output after a seek without a seek table strays from the linear decode.
//
// Encodes 10 minutes (the generated MusicSignal, or a 16-bit 44.1 kHz WAV
// file given on the command line, repeated to that length) with preset -A
// into memory, once with a seek table; the same bytes without the table are
// the plain file. Then, on one core, for random target sample frames (a
// fixed seed): the time from seek() to the first 1024 sample frames read,
// median and worst, with the table and without (the first seek without a
// table also scans the file, shown apart). Last, at other random targets,
// one second read after a seek without the table against the exact one:
// the share of samples that differ and the error's level relative to the
// signal, which is all noise-band noise.
//
//   qmz_seek_speed [--seeks N] [--minutes M] [file.wav]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "qmz/codec.h"
#include "signals/music_signal.h"

namespace {

using Clock = std::chrono::steady_clock;

// The interleaved 16-bit samples of a plain PCM WAV file's data chunk.
std::vector<int16_t> readWavSamples(const std::string& path, int& channels) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::size_t fmt = bytes.find("fmt "), data = bytes.find("data");
    if (fmt == std::string::npos || data == std::string::npos) return {};
    channels = static_cast<uint8_t>(bytes[fmt + 10]);
    uint32_t size;
    std::memcpy(&size, bytes.data() + data + 4, 4);
    size = std::min<uint32_t>(size, static_cast<uint32_t>(bytes.size() - data - 8));
    std::vector<int16_t> samples(size / 2);
    std::memcpy(samples.data(), bytes.data() + data + 8, samples.size() * 2);
    return samples;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct SeekTimes {
    double firstMs = 0;
    std::vector<double> ms;
};

SeekTimes timeSeeks(const std::string& bytes, const std::vector<int64_t>& targets, int channels) {
    std::istringstream in(bytes);
    qmz::StreamDecoder decoder(in);
    std::vector<int16_t> pcm(1024 * channels);
    SeekTimes times;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const auto start = Clock::now();
        if (decoder.seek(targets[i]) != qmz::Status::Ok) std::printf("seek failed\n");
        decoder.read(pcm.data(), 1024);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (i == 0) times.firstMs = ms;
        times.ms.push_back(ms);
    }
    return times;
}

std::vector<int16_t> readAt(const std::string& bytes, int64_t target, std::size_t frames,
                            int channels) {
    std::istringstream in(bytes);
    qmz::StreamDecoder decoder(in);
    decoder.seek(target);
    std::vector<int16_t> pcm(frames * channels);
    pcm.resize(decoder.read(pcm.data(), frames) * channels);
    return pcm;
}

}  // namespace

int main(int argc, char** argv) {
    int seeks = 200;
    double minutes = 10;
    std::string wav;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seeks" && i + 1 < argc) {
            seeks = std::atoi(argv[++i]);
        } else if (a == "--minutes" && i + 1 < argc) {
            minutes = std::atof(argv[++i]);
        } else {
            wav = a;
        }
    }
    int channels = 2;
    std::vector<int16_t> source;
    if (!wav.empty()) {
        source = readWavSamples(wav, channels);
    } else {
        source = qmz::signals::render(qmz::signals::MusicSignal{}, 60 * 44100);
    }
    if (source.empty() || (channels != 1 && channels != 2)) {
        std::fprintf(stderr, "qmz_seek_speed: %s: not a 16-bit PCM WAV file\n", wav.c_str());
        return 1;
    }
    const auto length = static_cast<int64_t>(minutes * 60 * 44100);
    std::ostringstream out;
    qmz::EncodeSettings settings;
    settings.seekTable = true;
    qmz::StreamEncoder encoder(qmz::PcmFormat{channels, 44100}, out, settings);
    const int64_t sourceFrames = static_cast<int64_t>(source.size()) / channels;
    for (int64_t done = 0; done < length;) {
        const int64_t n = std::min(sourceFrames, length - done);
        encoder.write(source.data(), static_cast<std::size_t>(n));
        done += n;
    }
    if (encoder.finish() != qmz::Status::Ok) return 1;
    const std::string withTable = out.str();
    // The plain file is the same bytes up to the tag block, found from the end.
    uint32_t blockSize;
    std::memcpy(&blockSize, withTable.data() + withTable.size() - 12, 4);
    const std::string plain = withTable.substr(0, withTable.size() - blockSize);

    std::mt19937_64 random(17);
    std::vector<int64_t> targets(static_cast<std::size_t>(seeks));
    for (int64_t& t : targets) t = static_cast<int64_t>(random() % static_cast<uint64_t>(length));

    // Linear decode speed, for scale.
    const auto start = Clock::now();
    {
        std::istringstream in(plain);
        qmz::StreamDecoder decoder(in);
        std::vector<int16_t> pcm(4096 * channels);
        while (decoder.read(pcm.data(), 4096) != 0) {
        }
    }
    const double linearMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();

    std::printf(
        "%.1f min, %d channels, %zu bytes (%zu with the seek table); linear decode %.0f ms\n",
        minutes, channels, plain.size(), withTable.size(), linearMs);
    // A look-alike record after the stream makes the candidates outnumber
    // the records: the segments are then decoded from the start (entropy
    // codes only), as far as each seek needs and once.
    const std::string lookAlike = plain + std::string(8, '\0') + "\xFF";
    const std::pair<const char*, const std::string*> files[] = {
        {"seek table", &withTable}, {"scan", &plain}, {"look-alike", &lookAlike}};
    for (const auto& [name, bytes] : files) {
        const SeekTimes t = timeSeeks(*bytes, targets, channels);
        std::vector<double> rest(t.ms.begin() + 1, t.ms.end());
        std::printf("%-10s  %d seeks: median %.2f ms, worst %.2f ms (first seek %.2f ms)\n", name,
                    seeks, median(rest), *std::max_element(rest.begin(), rest.end()), t.firstMs);
    }

    // The difference without the table, one second after each of 20 seeks.
    double signal = 0, error = 0, peak = 0;
    std::size_t differing = 0, total = 0;
    for (int i = 0; i < 20; ++i) {
        const auto t = static_cast<int64_t>(random() % static_cast<uint64_t>(length - 44100));
        const std::vector<int16_t> exact = readAt(withTable, t, 44100, channels);
        const std::vector<int16_t> scanned = readAt(plain, t, 44100, channels);
        for (std::size_t k = 0; k < exact.size() && k < scanned.size(); ++k) {
            const double d = double(scanned[k]) - exact[k];
            signal += double(exact[k]) * exact[k];
            error += d * d;
            peak = std::max(peak, std::abs(d));
            differing += d != 0;
            ++total;
        }
    }
    std::printf(
        "without the table: %.1f %% of samples differ, error %.1f dB below the signal, "
        "largest %.0f\n",
        100.0 * differing / std::max<std::size_t>(total, 1),
        10 * std::log10(signal / std::max(error, 1e-9)), peak);
    return 0;
}
