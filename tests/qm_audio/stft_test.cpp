// STFT and inverse STFT against a naive windowed DFT and closed forms.
#include "qm_audio.h"
#include "dft_reference.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// Sums of N terms of size about 1: rounding stays within a few N eps;
// 1e-12 * N is far above that and far below any real fault.
double tol(int N) {
    return 1e-12 * N;
}

size_t signal_len(int N, int frames, int hop) {
    return size_t(frames - 1) * hop + N;
}

}  // namespace

TEST(Stft, MatchesNaiveWindowedDft) {
    // frame counts that leave partial blocks of frames, and some that are
    // shared by two threads
    const int cases[][3] = {{2, 5, 1}, {16, 37, 4}, {64, 7, 16}, {256, 20, 100}, {32, 130, 8}};
    for (auto &c : cases) {
        const int N = c[0], frames = c[1], hop = c[2], bins = N / 2 + 1;
        ref::Setup s(int(std::log2(N)));
        std::vector<double> x = ref::noise(signal_len(N, frames, hop), unsigned(N));
        std::vector<double> re(size_t(bins) * frames), im(re.size()), rre, rim;
        ASSERT_EQ(qm_STFT(s, x.data(), N, frames, hop, re.data(), im.data()), 0);
        ref::stft(x, N, frames, hop, rre, rim);
        for (size_t i = 0; i < re.size(); i++) {
            ASSERT_NEAR(re[i], rre[i], tol(N)) << "N " << N << " cell " << i;
            ASSERT_NEAR(im[i], rim[i], tol(N)) << "N " << N << " cell " << i;
        }
        for (int t = 0; t < frames; t++) {
            EXPECT_EQ(im[t], 0.0);                           // DC
            EXPECT_EQ(im[size_t(N / 2) * frames + t], 0.0);  // Nyquist
        }
    }
}

TEST(Stft, ZerosGiveZerosAndConstantsGiveTheWindowSum) {
    const int N = 128, frames = 9, hop = 32, bins = N / 2 + 1;
    ref::Setup s(7);
    std::vector<double> x(signal_len(N, frames, hop), 0.0);
    std::vector<double> re(size_t(bins) * frames, 7), im(re.size(), 7);
    ASSERT_EQ(qm_STFT(s, x.data(), N, frames, hop, re.data(), im.data()), 0);
    for (size_t i = 0; i < re.size(); i++) {
        ASSERT_EQ(re[i], 0.0);  // exactly 0: NaN would fail here too
        ASSERT_EQ(im[i], 0.0);
    }
    const double c = 0.75;
    x.assign(x.size(), c);
    ASSERT_EQ(qm_STFT(s, x.data(), N, frames, hop, re.data(), im.data()), 0);
    double gsum = 0;
    for (double g : ref::sqrt_blackman(N)) gsum += g;
    for (int t = 0; t < frames; t++) {
        EXPECT_NEAR(re[t], c * gsum, tol(N));
        EXPECT_EQ(im[t], 0.0);
    }
}

TEST(Stft, RoundTripGainIsTheOverlappingWindowSum) {
    const int N = 256, hop = N / 4, frames = 40;
    ref::Setup s(8);
    std::vector<double> x = ref::noise(signal_len(N, frames, hop), 3);
    std::vector<double> re(size_t(N / 2 + 1) * frames), im(re.size()), out(x.size(), 0.0);
    ASSERT_EQ(qm_STFT(s, x.data(), N, frames, hop, re.data(), im.data()), 0);
    ASSERT_EQ(qm_ISTFT(s, re.data(), im.data(), N, frames, hop, out.data()), 0);
    EXPECT_EQ(out[0], 0.0);
    // four periodic Blackman windows at hop N/4 sum to 4 * 0.42
    for (size_t n = 3 * hop; n < size_t(frames) * hop; n++)
        ASSERT_NEAR(out[n], 1.68 * x[n], 1e-12) << n;
}

TEST(Stft, RoundTripOverAGridOfHops) {
    const int N = 32;
    ref::Setup s(5);
    for (int hop : {1, 5, 8, 16, 32, 40}) {
        const int frames = 11;
        std::vector<double> x = ref::noise(signal_len(N, frames, hop), unsigned(hop));
        std::vector<double> re(size_t(N / 2 + 1) * frames), im(re.size()), out(x.size(), 0.0);
        ASSERT_EQ(qm_STFT(s, x.data(), N, frames, hop, re.data(), im.data()), 0);
        ASSERT_EQ(qm_ISTFT(s, re.data(), im.data(), N, frames, hop, out.data()), 0);
        for (size_t n = 0; n < x.size(); n++) {
            double w = 0;  // sum of the Blackman windows covering n
            for (int t = 0; t < frames; t++) {
                long k = long(n) - long(t) * hop;
                if (k >= 0 && k < N)
                    w += std::max(0.0, 0.42 - 0.5 * std::cos(2 * M_PI * k / N) +
                                           0.08 * std::cos(4 * M_PI * k / N));
            }
            ASSERT_NEAR(out[n], w * x[n], 1e-12) << "hop " << hop << " n " << n;
        }
    }
}

TEST(Istft, MatchesNaiveOverlapAddAndIgnoresImaginaryDcAndNyquist) {
    const int N = 64, frames = 21, hop = 24, bins = N / 2 + 1;
    ref::Setup s(6);
    std::vector<double> re = ref::noise(size_t(bins) * frames, 1, 10.0);
    std::vector<double> im = ref::noise(size_t(bins) * frames, 2, 10.0);
    std::vector<double> out(signal_len(N, frames, hop), 0.5), want = out;
    ref::istft(re, im, N, frames, hop, want);
    ASSERT_EQ(qm_ISTFT(s, re.data(), im.data(), N, frames, hop, out.data()), 0);
    for (size_t n = 0; n < out.size(); n++)
        ASSERT_NEAR(out[n], want[n], 1e-12) << n;  // values of size 10, sums of 64 terms

    std::vector<double> im2 = im, out2(out.size(), 0.5);
    for (int t = 0; t < frames; t++) {
        im2[t] = 1e6;
        im2[size_t(N / 2) * frames + t] = -1e6;
    }
    ASSERT_EQ(qm_ISTFT(s, re.data(), im2.data(), N, frames, hop, out2.data()), 0);
    EXPECT_EQ(out2, out);
}

TEST(Istft, AddsIntoTheOutputAndNeverClears) {
    const int N = 16, frames = 5, hop = 4, bins = N / 2 + 1;
    ref::Setup s(4);
    std::vector<double> re = ref::noise(size_t(bins) * frames, 8), im = ref::noise(re.size(), 9);
    std::vector<double> once(signal_len(N, frames, hop), 0.0), twice = once;
    qm_ISTFT(s, re.data(), im.data(), N, frames, hop, once.data());
    qm_ISTFT(s, re.data(), im.data(), N, frames, hop, twice.data());
    qm_ISTFT(s, re.data(), im.data(), N, frames, hop, twice.data());
    for (size_t n = 0; n < once.size(); n++) EXPECT_NEAR(twice[n], 2 * once[n], 1e-14);
}

TEST(Stft, NoFramesAndBadArguments) {
    ref::Setup s(4);
    std::vector<double> x(64, 1.0), re(9 * 4, 3.0), im(re.size(), 3.0), out(64, 2.0);
    EXPECT_EQ(qm_STFT(s, x.data(), 16, 0, 4, re.data(), im.data()), 0);
    EXPECT_EQ(qm_ISTFT(s, re.data(), im.data(), 16, 0, 4, out.data()), 0);
    EXPECT_EQ(qm_STFT(s, x.data(), 12, 2, 4, re.data(), im.data()), -1);  // not a power of two
    EXPECT_EQ(qm_STFT(s, x.data(), 1, 2, 4, re.data(), im.data()), -1);
    EXPECT_EQ(qm_ISTFT(s, re.data(), im.data(), 16, 2, -4, out.data()), -1);
    EXPECT_EQ(qm_ISTFT(nullptr, re.data(), im.data(), 16, 2, 4, out.data()), -1);
    for (double v : re) EXPECT_EQ(v, 3.0);
    for (double v : out) EXPECT_EQ(v, 2.0);
}
