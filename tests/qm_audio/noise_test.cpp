// Noise resynthesis: its draws of rand and its output against the naive
// overlap-add of the same draws.
#include "qm_audio.h"
#include "dft_reference.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr int N = 32, hop = 8, frames = 13, bins = N / 2 + 1;

size_t out_len() {
    return size_t(frames - 1) * hop + N;
}

// the value rand gives after `draws` draws from seed
int rand_after(unsigned seed, size_t draws) {
    srand(seed);
    for (size_t i = 0; i < draws; i++) rand();
    return rand();
}

}  // namespace

TEST(Noise, MatchesNaiveOverlapAddOfTheDraws) {
    ref::Setup s(5);
    std::vector<double> mag = ref::noise(size_t(bins) * frames, 3);
    for (double &m : mag) m = std::fabs(m);
    srand(1234);
    std::vector<double> re(mag.size()), im(mag.size());
    for (size_t i = 0; i < mag.size(); i++) re[i] = mag[i] * (rand() / 2147483647.0);
    for (size_t i = 0; i < mag.size(); i++) im[i] = mag[i] * (rand() / 2147483647.0);
    std::vector<double> want(out_len(), 0.25), out(out_len(), 0.25);
    ref::istft(re, im, N, frames, hop, want);

    srand(1234);
    qm_noiseResynth(mag.data(), bins, frames, s, N, hop, out.data());
    for (size_t n = 0; n < out.size(); n++)
        ASSERT_NEAR(out[n], want[n], 1e-13) << n;  // magnitudes below 1, 32-term sums
}

TEST(Noise, ZerosAddNothingYetDrawTwicePerCell) {
    ref::Setup s(5);
    std::vector<double> mag(size_t(bins) * frames, 0.0), out(out_len(), 0.0);
    srand(77);
    qm_noiseResynth(mag.data(), bins, frames, s, N, hop, out.data());
    const int next = rand();
    for (double v : out) ASSERT_EQ(v, 0.0);
    EXPECT_EQ(next, rand_after(77, 2 * mag.size()));
}

TEST(Noise, SequencePositionDecidesTheNoise) {
    ref::Setup s(5);
    std::vector<double> mag(size_t(bins) * frames, 1.0);
    std::vector<double> a(out_len(), 0.0), b(out_len(), 0.0), c(out_len(), 0.0);
    srand(5);
    qm_noiseResynth(mag.data(), bins, frames, s, N, hop, a.data());
    qm_noiseResynth(mag.data(), bins, frames, s, N, hop, b.data());
    srand(5);
    qm_noiseResynth(mag.data(), bins, frames, s, N, hop, c.data());
    EXPECT_NE(a, b);
    EXPECT_EQ(a, c);
}

TEST(Noise, RefusedArgumentsDrawNothing) {
    ref::Setup s(5);
    std::vector<double> mag(size_t(bins) * frames, 1.0), out(out_len(), 0.5);
    srand(9);
    qm_noiseResynth(mag.data(), bins - 1, frames, s, N, hop, out.data());  // rows must be N/2 + 1
    qm_noiseResynth(mag.data(), bins, frames, s, 24, hop, out.data());     // not a power of two
    qm_noiseResynth(mag.data(), bins, 0, s, N, hop, out.data());
    const int next = rand();
    EXPECT_EQ(next, rand_after(9, 0));
    for (double v : out) EXPECT_EQ(v, 0.5);
}
