// Window halves and MDCT twiddles.
//
// A KBD window of half-length H is the square root of the running sum of a
// Kaiser kernel of H + 1 samples, normalised by the kernel's total. Only the
// lower half of the rising half, n < H / 2, is taken from that formula; the
// upper half is completed from the lower one through power complementarity,
// which is what the MDCT's perfect reconstruction needs exactly (to rounding)
// rather than approximately.
#include "common/windows.h"

#include <cmath>
#include <numbers>

namespace qmz {
namespace {

// Fills the lower half of a KBD rising half of length `half` with parameter
// alpha, then completes the upper half by power complementarity.
template <std::size_t H>
void buildKbd(double alpha, std::array<double, H>& w) {
    constexpr int half = int(H);
    std::array<double, H + 1> kernel{};
    const double centre = half / 2.0;
    for (int j = 0; j <= half; ++j) {
        const double r = (j - centre) / centre;
        kernel[j] = besselI0Approx(std::numbers::pi * alpha * std::sqrt(1.0 - r * r));
    }
    double total = 0.0;
    for (double v : kernel) total += v;
    double running = 0.0;
    for (int n = 0; n < half / 2; ++n) {
        running += kernel[n];
        w[n] = std::sqrt(running / total);
    }
    for (int n = half / 2; n < half; ++n) {
        const double mirror = w[half - 1 - n];
        w[n] = std::sqrt(1.0 - mirror * mirror);
    }
}

template <std::size_t Q>
void buildTwiddles(int n, std::array<double, Q>& c, std::array<double, Q>& s) {
    const double step = 2.0 * std::numbers::pi / n;
    for (int k = 0; k < int(Q); ++k) {
        const double angle = (k + 0.125) * step;
        c[k] = std::cos(angle);
        s[k] = std::sin(angle);
    }
}

}  // namespace

double besselI0Approx(double x) {
    const double ax = std::fabs(x);
    if (ax < 3.75) {
        const double y = (x / 3.75) * (x / 3.75);
        return 1.0 +
               y * (3.5156229 +
                    y * (3.0899424 +
                         y * (1.2067492 + y * (0.2659732 + y * (0.0360768 + y * 0.0045813)))));
    }
    const double y = 3.75 / ax;
    const double poly =
        0.39894228 +
        y * (0.01328592 +
             y * (0.00225319 +
                  y * (-0.00157565 +
                       y * (0.00916281 +
                            y * (-0.02057706 +
                                 y * (0.02635537 + y * (-0.01647633 + y * 0.00392377)))))));
    return (std::exp(ax) / std::sqrt(ax)) * poly;
}

const WindowTables& windowTables() {
    static const WindowTables tables = [] {
        WindowTables t{};
        buildKbd(6.0, t.shortWindow);
        buildKbd(4.0, t.longWindow);
        return t;
    }();
    return tables;
}

void initWindows() {
    (void)windowTables();
}

const MdctTwiddles& mdctTwiddles() {
    static const MdctTwiddles twiddles = [] {
        MdctTwiddles t{};
        buildTwiddles(2 * kLongWindowHalf, t.longCos, t.longSin);
        buildTwiddles(2 * kShortWindowHalf, t.shortCos, t.shortSin);
        return t;
    }();
    return twiddles;
}

}  // namespace qmz
