// qmz_speed: whole-file encode and decode speed, size and error per preset.
//
// Writes a deterministic stereo MusicSignal WAV file (or takes the WAV files
// named on the command line), encodes it file to file with each preset the
// way qmzenc does, decodes every result file to file the way qmzdec does, and
// compares the decoded samples with the input. Everything streams in chunks,
// so the peak resident memory printed at the end must not depend on the
// length of the input.
//
// With --threads 1,2 each preset is encoded once per thread count (the
// encoder's -j option); with --repeat N every encode and decode runs N
// times and the median time counts.
//
// --write PATH only writes the generated signal to PATH (for other tools).
//
//   qmz_speed [--seconds N] [--presets -A,-E] [--threads 1,2] [--repeat N] [file.wav ...]
//   qmz_speed [--seconds N] --write music.wav
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "io/decode_file.h"
#include "io/encode_file.h"
#include "signals/wav_files.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> kPresets = {"-AAA", "-AA", "-A", "-B", "-C", "-D", "-E"};

struct Settings {
    double seconds = 60.0;
    std::vector<std::string> presets = kPresets;
    std::vector<int> threads = {1};
    int repeat = 1;
    std::string writePath;
    std::vector<std::string> inputs;
};

struct Measurement {
    bool ok = false;
    double audioSeconds = 0.0;
    double encodeSeconds = 0.0;
    double decodeSeconds = 0.0;
    uintmax_t qmzBytes = 0;
    int32_t headerBitRate = 0;
    qmz::signals::WavComparison error;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool parseArguments(int argc, char** argv, Settings& settings) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--seconds" && i + 1 < argc) {
            settings.seconds = std::atof(argv[++i]);
            if (settings.seconds <= 0.0) return false;
        } else if (argument == "--presets" && i + 1 < argc) {
            settings.presets.clear();
            std::stringstream list(argv[++i]);
            for (std::string p; std::getline(list, p, ',');) {
                if (std::find(kPresets.begin(), kPresets.end(), p) == kPresets.end()) return false;
                settings.presets.push_back(p);
            }
        } else if (argument == "--threads" && i + 1 < argc) {
            settings.threads.clear();
            std::stringstream list(argv[++i]);
            for (std::string t; std::getline(list, t, ',');) {
                const int n = std::atoi(t.c_str());
                if (n < 0 || n > 256 || t.empty()) return false;
                settings.threads.push_back(n);
            }
        } else if (argument == "--write" && i + 1 < argc) {
            settings.writePath = argv[++i];
        } else if (argument == "--repeat" && i + 1 < argc) {
            settings.repeat = std::atoi(argv[++i]);
            if (settings.repeat < 1) return false;
        } else if (argument.rfind("--", 0) == 0) {
            return false;
        } else {
            settings.inputs.push_back(argument);
        }
    }
    return !settings.presets.empty() && !settings.threads.empty();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Encodes wavPath to qmzPath as qmzenc does: ifstream in, ofstream out.
bool encodeOne(const std::string& wavPath, const std::string& qmzPath, const std::string& preset,
               int threads, Measurement& m) {
    const auto start = Clock::now();
    std::ifstream wav;
    qmz::WavInput input;
    if (qmz::openWav(wavPath, wav, input) != qmz::WavReadError::Ok) return false;
    std::ofstream out(qmzPath, std::ios::binary | std::ios::trunc);
    const qmz::EncodeFileResult result =
        qmz::encodeWav(wav, input, out,
                       qmz::parseEncoderOptions({preset, "-j", std::to_string(threads)}), nullptr);
    out.close();
    m.encodeSeconds = secondsSince(start);
    if (result.writeFailed || result.internalError || !out) return false;
    m.audioSeconds = result.samplesPerChannel / static_cast<double>(input.format.sampleRate());
    m.headerBitRate = result.avgBitRate;
    m.qmzBytes = fs::file_size(qmzPath);
    return true;
}

bool decodeOne(const std::string& qmzPath, const std::string& wavPath, Measurement& m) {
    const auto start = Clock::now();
    std::ifstream in(qmzPath, std::ios::binary);
    std::ofstream out(wavPath, std::ios::binary | std::ios::trunc);
    const qmz::DecodeFileResult result = qmz::decodeFile(in, out);
    out.close();
    m.decodeSeconds = secondsSince(start);
    return result.error == qmz::DecodeError::None && !result.writeFailed && out;
}

void printRow(const std::string& preset, const Measurement& m, uintmax_t wavBytes) {
    const double fileKbps = static_cast<double>(m.qmzBytes) * 8.0 / m.audioSeconds / 1000.0;
    std::printf("%-9s %10.1fx %9.1f %9.1f %8.2f:1 %10.1fx %8.2f", preset.c_str(),
                m.audioSeconds / m.encodeSeconds, fileKbps, m.headerBitRate / 1000.0,
                static_cast<double>(wavBytes) / static_cast<double>(m.qmzBytes),
                m.audioSeconds / m.decodeSeconds, m.error.snrDb());
    if (m.error.testFrames != m.error.referenceFrames)
        std::printf("  (decoded %lld of %lld sample frames)",
                    static_cast<long long>(m.error.testFrames),
                    static_cast<long long>(m.error.referenceFrames));
    std::printf("\n");
    std::fflush(stdout);
}

// Encodes and decodes `repeat` times (median times) and prints one row.
bool measureOne(const std::string& wavPath, const fs::path& work, const std::string& preset,
                int threads, int repeat, const std::string& label, uintmax_t wavBytes) {
    const std::string qmzPath = (work / ("out" + preset + ".qmz")).string();
    const std::string decodedPath = (work / ("out" + preset + ".wav")).string();
    Measurement m;
    std::vector<double> encodeTimes, decodeTimes;
    for (int r = 0; r < repeat; ++r) {
        if (!encodeOne(wavPath, qmzPath, preset, threads, m) || m.audioSeconds <= 0.0 ||
            !decodeOne(qmzPath, decodedPath, m)) {
            std::printf("%-9s failed\n", label.c_str());
            return false;
        }
        encodeTimes.push_back(m.encodeSeconds);
        decodeTimes.push_back(m.decodeSeconds);
    }
    m.encodeSeconds = median(encodeTimes);
    m.decodeSeconds = median(decodeTimes);
    m.error = qmz::signals::compareWavFiles(wavPath, decodedPath);
    printRow(label, m, wavBytes);
    fs::remove(qmzPath);
    fs::remove(decodedPath);
    return true;
}

// Measures every preset on one WAV file; false when any step failed.
bool measureFile(const std::string& wavPath, const Settings& settings, const fs::path& work) {
    std::error_code error;
    const uintmax_t wavBytes = fs::file_size(wavPath, error);
    if (error) {
        std::printf("\n%s: cannot read the file\n", wavPath.c_str());
        return false;
    }
    std::printf("\n%s (%.1f MB)\n", wavPath.c_str(), static_cast<double>(wavBytes) / 1e6);
    std::printf("%-9s %11s %9s %9s %10s %11s %8s\n", "preset", "encode", "kbit/s", "hdr kb/s",
                "ratio", "decode", "SNR dB");
    bool allOk = true;
    for (const std::string& preset : settings.presets) {
        for (int threads : settings.threads) {
            const std::string label = preset + (threads == 1 ? "" : " j" + std::to_string(threads));
            allOk = measureOne(wavPath, work, preset, threads, settings.repeat, label, wavBytes) &&
                    allOk;
        }
    }
    return allOk;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (!parseArguments(argc, argv, settings)) {
        std::fprintf(stderr,
                     "usage: qmz_speed [--seconds N] [--presets -A,-E] [--threads 1,2] "
                     "[--repeat N] [file.wav ...]\n");
        return 1;
    }
    if (!settings.writePath.empty()) {
        const qmz::signals::MusicSignal signal;
        const auto frames = static_cast<int64_t>(settings.seconds * signal.sampleRate);
        if (qmz::signals::writeMusicWav(settings.writePath, signal, frames)) return 0;
        std::fprintf(stderr, "qmz_speed: cannot write %s\n", settings.writePath.c_str());
        return 1;
    }
    std::string pattern = (fs::temp_directory_path() / "qmz_speed.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "qmz_speed: cannot create a temporary directory\n");
        return 1;
    }
    const fs::path work = pattern;
    std::vector<std::string> inputs = settings.inputs;
    if (inputs.empty()) {
        const std::string generated = (work / "music.wav").string();
        const qmz::signals::MusicSignal signal;
        const auto frames = static_cast<int64_t>(settings.seconds * signal.sampleRate);
        if (!qmz::signals::writeMusicWav(generated, signal, frames)) {
            std::fprintf(stderr, "qmz_speed: cannot write %s\n", generated.c_str());
            fs::remove_all(work);
            return 1;
        }
        std::printf("generated %.0f s stereo music signal\n", settings.seconds);
        inputs.push_back(generated);
    }
    std::printf("speeds are multiples of real time (audio seconds / wall seconds)\n");
    bool allOk = true;
    for (const std::string& input : inputs) allOk = measureFile(input, settings, work) && allOk;
    fs::remove_all(work);

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("\npeak resident memory: %ld kB\n", usage.ru_maxrss);
    return allOk ? 0 : 1;
}
