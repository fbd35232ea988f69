#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "encoder/libm_pow10.h"

namespace {

// Spreading-term levels as the psychoacoustic model produces them (1 to
// 120 dB), evaluated in lists of the given length.
std::vector<double> spreadingLevels() {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> level(1.0, 120.0);
    std::vector<double> db(4096);
    for (double& v : db) v = level(rng);
    return db;
}

void BM_DecibelsToPowerLibrary(benchmark::State& state) {
    const std::vector<double> db = spreadingLevels();
    std::vector<double> power(db.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < db.size(); ++i) power[i] = std::pow(10.0, db[i] / 10.0);
        benchmark::DoNotOptimize(power.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * db.size()));
}
BENCHMARK(BM_DecibelsToPowerLibrary);

void BM_DecibelsToPowerBatch(benchmark::State& state) {
    const std::vector<double> db = spreadingLevels();
    std::vector<double> power(db.size());
    const auto list = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        for (std::size_t i = 0; i < db.size(); i += list)
            qmz::libmDecibelsToPower(db.data() + i, power.data() + i, static_cast<int>(list));
        benchmark::DoNotOptimize(power.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * db.size()));
}
BENCHMARK(BM_DecibelsToPowerBatch)->Arg(16)->Arg(64)->Arg(512);

}  // namespace
