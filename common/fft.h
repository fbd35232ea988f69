// Fast Fourier transforms shared by the MDCT pair and the psychoacoustic model.
//
// Both entry points work in place on a caller-owned array of doubles and scale
// nothing. Their tables (per-stage twiddles and bit-reversal swaps for every
// power-of-two size up to kMaxFftLength) are built once per process on first
// use and then only read, so the transforms may run concurrently on different
// arrays and evaluate no sine or cosine after start-up. Nothing is allocated
// per call.
#pragma once

namespace qmz {

// Largest supported length n in doubles (n / 2 complex points, or n reals).
inline constexpr int kMaxFftLength = 4096;

// Discrete Fourier transform of n / 2 complex points stored interleaved
// (a[2j] = Re x_j, a[2j + 1] = Im x_j):
//     X_k = sum_j x_j * exp(s * 2 pi i j k / (n / 2)),
// with s = +1 when fftSign >= 0 and s = -1 when fftSign < 0. A transform with
// s = -1 followed by one with s = +1 returns the input times n / 2.
// n = 4 is a single two-point butterfly; n < 4, an n that is not a power of
// two and an n above kMaxFftLength leave the data unchanged.
void complexFft(int n, int fftSign, double* a);

// Builds the transform tables now instead of at the first transform (they
// are built once per process either way).
void fftInit();

// Forward real transform of the n reals in a, packed in place as
//     a[0] = R_0, a[1] = R_{n/2}, a[2k] = R_k, a[2k + 1] = I_k (0 < k < n/2),
// where R_k = sum_j a_j cos(2 pi j k / n) and I_k = +sum_j a_j sin(2 pi j k / n).
// n must be a power of two from 2 to kMaxFftLength; any other n leaves the
// data unchanged.
void realFft(int n, double* a);

}  // namespace qmz
