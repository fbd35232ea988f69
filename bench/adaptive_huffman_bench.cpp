#include <benchmark/benchmark.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/adaptive_huffman.h"

namespace {

// Symbols shaped like the payload's quantised lines: mostly small values
// with a geometric fall-off, now and then anything in the alphabet.
std::vector<int> payloadLikeSymbols(int n, std::size_t count) {
    std::mt19937 rng(2024);
    std::geometric_distribution<int> small(0.25);
    std::uniform_int_distribution<int> any(0, n - 1);
    std::uniform_int_distribution<int> pick(0, 49);
    std::vector<int> symbols(count);
    for (int& s : symbols) s = pick(rng) == 0 ? any(rng) : std::min(small(rng), n - 1);
    return symbols;
}

// The models are reset every 8192 symbols, about as often as the payload's
// resynchronisation points reset them.
constexpr std::size_t kResetEvery = 8192;
constexpr std::size_t kSymbols = 4 * kResetEvery;

std::string encodeAll(int n, const std::vector<int>& symbols) {
    qmz::StringSink out;
    qmz::PayloadBitWriter writer(out);
    qmz::AdaptiveHuffmanModel model(n);
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        if (i % kResetEvery == 0) model.reset();
        model.encodeSymbol(symbols[i], writer);
    }
    writer.putFinalByte();
    writer.flush();
    return out.str();
}

void BM_AdaptiveHuffmanEncode(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<int> symbols = payloadLikeSymbols(n, kSymbols);
    for (auto _ : state) benchmark::DoNotOptimize(encodeAll(n, symbols));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kSymbols));
}
BENCHMARK(BM_AdaptiveHuffmanEncode)->Arg(152)->Arg(2060);

void BM_AdaptiveHuffmanDecode(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<int> symbols = payloadLikeSymbols(n, kSymbols);
    const std::string bytes = encodeAll(n, symbols);
    qmz::AdaptiveHuffmanModel model(n);
    for (auto _ : state) {
        const std::string payload = bytes;
        qmz::PayloadBitReader reader(reinterpret_cast<const uint8_t*>(payload.data()),
                                     payload.size());
        int sum = 0;
        for (std::size_t i = 0; i < kSymbols; ++i) {
            if (i % kResetEvery == 0) model.reset();
            sum += model.decodeSymbol(reader);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kSymbols));
}
BENCHMARK(BM_AdaptiveHuffmanDecode)->Arg(152)->Arg(2060);

}  // namespace
