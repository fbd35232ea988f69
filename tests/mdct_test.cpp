#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <random>
#include <vector>

#include "common/windows.h"
#include "decoder/synthesis.h"
#include "encoder/analysis.h"

namespace qmz {
namespace {

using Frame = std::array<double, kFrameLength>;

// cos(2 pi / N (n + N/4 + 1/2)(k + 1/2)) = cos(2 pi (2n + N/2 + 1)(2k + 1) / 4N),
// tabulated over 4N in extended precision and indexed with exact integers.
struct MdctKernel {
    int n;
    std::vector<long double> table;
    explicit MdctKernel(int blockLength) : n(blockLength), table(4 * blockLength) {
        for (int i = 0; i < 4 * n; ++i) {
            table[i] = std::cos(2.0L * std::numbers::pi_v<long double> * i / (4 * n));
        }
    }
    long double operator()(int t, int k) const {
        return table[(long(2 * t + n / 2 + 1) * (2 * k + 1)) % (4 * n)];
    }
};

std::vector<double> directForward(const std::vector<double>& u) {
    const int n = int(u.size());
    const MdctKernel kernel(n);
    std::vector<double> x(n / 2);
    for (int k = 0; k < n / 2; ++k) {
        long double sum = 0;
        for (int t = 0; t < n; ++t) sum += u[t] * kernel(t, k);
        x[k] = double(2 * sum);
    }
    return x;
}

std::vector<double> directInverse(const std::vector<double>& x) {
    const int m = int(x.size());
    const MdctKernel kernel(2 * m);
    std::vector<double> y(2 * m);
    for (int t = 0; t < 2 * m; ++t) {
        long double sum = 0;
        for (int k = 0; k < m; ++k) sum += x[k] * kernel(t, k);
        y[t] = double(sum / m);
    }
    return y;
}

std::vector<double> randomSamples(int n, unsigned seed, double amplitude = 32768.0) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-amplitude, amplitude);
    std::vector<double> v(n);
    for (double& x : v) x = dist(gen);
    return v;
}

double maxAbs(const std::vector<double>& v) {
    double m = 0;
    for (double x : v) m = std::max(m, std::fabs(x));
    return m;
}

TEST(Mdct, ForwardAndInverseMatchTheCosineSums) {
    for (BlockShape shape : {BlockShape::Long, BlockShape::Short}) {
        const int m = coefficientsOf(shape);
        const std::vector<double> u = randomSamples(2 * m, unsigned(m));
        std::vector<double> x(m + 4, 7.0);  // sentinels behind the output
        forwardMdct(u.data(), x.data(), shape);
        const std::vector<double> wantX = directForward(u);
        const double scaleX = maxAbs(wantX);
        for (int k = 0; k < m; ++k) ASSERT_NEAR(x[k], wantX[k], 1e-14 * scaleX) << m << " " << k;
        for (int k = m; k < m + 4; ++k) EXPECT_EQ(x[k], 7.0);

        const std::vector<double> c = randomSamples(m, unsigned(3 * m));
        std::vector<double> y(2 * m + 4, 7.0);
        inverseMdct(c.data(), y.data(), shape);
        const std::vector<double> wantY = directInverse(c);
        const double scaleY = maxAbs(wantY);
        for (int t = 0; t < 2 * m; ++t)
            ASSERT_NEAR(y[t], wantY[t], 1e-14 * scaleY) << m << " " << t;
        for (int t = 2 * m; t < 2 * m + 4; ++t) EXPECT_EQ(y[t], 7.0);
    }
}

// Runs analysis then synthesis over a block-type sequence and checks that
// each output frame is the input frame before it; the first is silence.
void expectPerfectReconstruction(const std::vector<BlockType>& types, unsigned seed) {
    Frame history{};
    OverlapBuffer overlap{};
    std::vector<double> previous(kFrameLength, 0.0);
    std::array<double, kFrameLength> spectrum{}, output{};
    for (std::size_t f = 0; f < types.size(); ++f) {
        const std::vector<double> input = randomSamples(kFrameLength, seed + unsigned(f));
        analyzeChannel(input.data(), spectrum.data(), history, types[f]);
        synthesizeChannel(spectrum.data(), output.data(), overlap, types[f]);
        double err = 0;
        for (int n = 0; n < kFrameLength; ++n)
            err = std::max(err, std::fabs(output[n] - previous[n]));
        ASSERT_LT(err, 1e-9) << "frame " << f << " of sequence " << seed;
        previous = input;
    }
}

TEST(Mdct, EveryAllowedBlockSequenceReconstructsOneFrameLater) {
    // All sequences of eight frames that obey the matching rule: after long
    // or stop only long or start; after start or short only short or stop.
    constexpr int frames = 8;
    for (unsigned bits = 0; bits < (1u << frames); ++bits) {
        std::vector<BlockType> types;
        bool shortSide = false;
        for (int f = 0; f < frames; ++f) {
            const bool second = (bits >> f) & 1u;
            BlockType t;
            if (!shortSide) {
                t = second ? BlockType::Start : BlockType::Long;
            } else {
                t = second ? BlockType::Stop : BlockType::Short;
            }
            shortSide = t == BlockType::Start || t == BlockType::Short;
            types.push_back(t);
        }
        expectPerfectReconstruction(types, 1000 + bits);
    }
}

TEST(Mdct, StopDirectlyFollowedByStartAndLongShortRuns) {
    using enum BlockType;
    expectPerfectReconstruction({Start, Stop, Start, Stop, Start, Stop, Long}, 1);
    expectPerfectReconstruction({Long, Start, Short, Short, Short, Short, Short, Stop, Long}, 2);
}

TEST(Analysis, ShortFramePlacesEachBlockAtItsOwnOffset) {
    // A sample seen by one short block only: the first half of block 0
    // (x[448..575]) or the second half of block 7 (x[1472..1599]).
    struct Case {
        int position;
        int block;
    };
    for (Case c : {Case{448 + 64, 0}, Case{1535, 7}}) {
        Frame history{};
        std::array<double, kFrameLength> first{};
        std::array<double, kFrameLength> second{};
        first.fill(0.0);
        if (c.position < kFrameLength) {
            first[c.position] = 1000.0;
        } else {
            second[c.position - kFrameLength] = 1000.0;
        }
        std::vector<double> spectrum(kFrameLength + 8, -5.0);
        analyzeChannel(first.data(), spectrum.data(), history, BlockType::Short);
        analyzeChannel(second.data(), spectrum.data(), history, BlockType::Short);
        for (int b = 0; b < kShortBlocksPerFrame; ++b) {
            const double energy =
                std::accumulate(spectrum.begin() + 128 * b, spectrum.begin() + 128 * (b + 1), 0.0,
                                [](double acc, double v) { return acc + v * v; });
            if (b == c.block) {
                EXPECT_GT(energy, 1.0) << "block " << b;
            } else {
                EXPECT_EQ(energy, 0.0) << "block " << b;
            }
        }
        for (int i = kFrameLength; i < kFrameLength + 8; ++i) EXPECT_EQ(spectrum[i], -5.0);
    }
}

// Spectrum of the frame whose analysis input x[0..2047] is x.
std::vector<double> spectrumOf(const std::vector<double>& x, BlockType type) {
    Frame history;
    std::copy(x.begin(), x.begin() + kFrameLength, history.begin());
    std::vector<double> spectrum(kFrameLength, 0.0);
    analyzeChannel(x.data() + kFrameLength, spectrum.data(), history, type);
    return spectrum;
}

TEST(Analysis, TransitionWindowsIgnoreTheirZeroRanges) {
    const std::vector<double> base = randomSamples(2 * kFrameLength, 42);
    struct Case {
        BlockType type;
        int first, last;  // range whose samples are ignored
        bool ignored;
    };
    const Case cases[] = {
        {BlockType::Stop, 0, 447, true},      {BlockType::Stop, 448, 448, false},
        {BlockType::Start, 1600, 2047, true}, {BlockType::Start, 1599, 1599, false},
        {BlockType::Short, 0, 447, true},     {BlockType::Short, 1600, 2047, true},
        {BlockType::Short, 448, 448, false},  {BlockType::Long, 0, 0, false},
    };
    for (const Case& c : cases) {
        std::vector<double> changed = base;
        for (int n = c.first; n <= c.last; ++n) changed[n] += 12345.0;
        const bool same = spectrumOf(base, c.type) == spectrumOf(changed, c.type);
        EXPECT_EQ(same, c.ignored) << int(c.type) << " " << c.first << ".." << c.last;
    }
}

TEST(Analysis, HistoryIsReplacedAndUnknownTypeWritesNothing) {
    Frame history{};
    const std::vector<double> input = randomSamples(kFrameLength, 9);
    std::vector<double> spectrum(kFrameLength, 4.0);
    analyzeChannel(input.data(), spectrum.data(), history, static_cast<BlockType>(7));
    EXPECT_TRUE(std::equal(history.begin(), history.end(), input.begin()));
    EXPECT_TRUE(std::all_of(spectrum.begin(), spectrum.end(), [](double v) { return v == 4.0; }));
}

TEST(Synthesis, ZeroSpectrumGivesSilenceForEveryType) {
    const std::array<double, kFrameLength> zero{};
    for (int type = 0; type < 4; ++type) {
        OverlapBuffer overlap{};
        std::array<double, kFrameLength> output;
        output.fill(1.0);
        synthesizeChannel(zero.data(), output.data(), overlap, static_cast<BlockType>(type));
        EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](double v) { return v == 0.0; }));
        EXPECT_TRUE(std::all_of(overlap.begin(), overlap.end(), [](double v) { return v == 0.0; }));
    }
}

TEST(Synthesis, ShortAndStopFramesKeepTheirUntouchedRanges) {
    const std::vector<double> spectrum = randomSamples(kFrameLength, 11, 1000.0);
    std::array<double, kFrameLength> output;

    // A short frame stores nothing past 1599: the next frame's lower half
    // ends in zeros there (1600..2047 shifted down to 576..1023).
    OverlapBuffer overlap{};
    overlap.fill(3.0);
    synthesizeChannel(spectrum.data(), output.data(), overlap, BlockType::Short);
    for (int n = 576; n < kFrameLength; ++n) ASSERT_EQ(overlap[n], 0.0) << n;
    for (int n = 0; n < 448; ++n) ASSERT_EQ(output[n], 3.0) << n;

    // A stop frame passes the pending 0..447 through unchanged.
    overlap.fill(0.0);
    for (int n = 0; n < 448; ++n) overlap[n] = n + 0.5;
    synthesizeChannel(spectrum.data(), output.data(), overlap, BlockType::Stop);
    for (int n = 0; n < 448; ++n) ASSERT_EQ(output[n], n + 0.5) << n;
}

TEST(Synthesis, UnknownTypeOutputsPendingHalfAndLeavesSilenceBehind) {
    const std::vector<double> spectrum = randomSamples(kFrameLength, 13, 1000.0);
    OverlapBuffer overlap;
    for (int n = 0; n < 2 * kFrameLength; ++n) overlap[n] = n;
    std::array<double, kFrameLength> output;
    synthesizeChannel(spectrum.data(), output.data(), overlap, static_cast<BlockType>(-1));
    for (int n = 0; n < kFrameLength; ++n) ASSERT_EQ(output[n], n);
    EXPECT_TRUE(std::all_of(overlap.begin(), overlap.end(), [](double v) { return v == 0.0; }));
}

}  // namespace
}  // namespace qmz
