#include <benchmark/benchmark.h>

#include <sstream>
#include <string>

#include "io/wav_reader.h"

namespace {

// One encoder frame's worth of input (1024 sample frames) from an in-memory
// stream, for mono and stereo.
void BM_ReadSampleFrames(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    std::string bytes(static_cast<std::size_t>(qmz::kMaxReadFrames) * 2 * channels, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 37);
    std::istringstream in(bytes);
    static double left[qmz::kMaxReadFrames], right[qmz::kMaxReadFrames];
    double* const out[2] = {left, right};
    for (auto _ : state) {
        in.seekg(0);
        benchmark::DoNotOptimize(qmz::readSampleFrames(in, channels, qmz::kMaxReadFrames, out));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * qmz::kMaxReadFrames);
}
BENCHMARK(BM_ReadSampleFrames)->Arg(1)->Arg(2);

}  // namespace
