// The components as the front ends show them: activations scaled to a
// largest value of 1 with the bases taking the scale back, the list form
// v = -log(1 + w) and its reading back, shares of the energy, and the clip
// gain of the written files.
#include "kv_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

TEST(StreamComponents, ScaleFormAndShares) {
    kve_streamShape s{};
    s.bins = 3;
    s.rows = 3;
    s.frames = 2;
    s.N = 4;
    const int K = 2;
    const std::vector<double> W = {1, 0, /**/ 2, 0, /**/ 0, 0.5};
    const std::vector<double> H = {2, 4, /**/ 8, 1};
    const double scale = kve_activationScale(H.data(), K, s.frames);
    EXPECT_EQ(scale, 8.0);
    std::vector<double> act(2), list(3), shown(3);
    kve_componentInfo info{};
    kve_componentForm(&s, 1000.0, W.data(), H.data(), K, 0, scale, act.data(), list.data(),
                      shown.data(), &info);
    EXPECT_EQ(act, (std::vector<double>{0.25, 0.5}));
    const double w[] = {8, 16, 0};  // the basis times the scale
    for (int b = 0; b < 3; ++b) {
        EXPECT_DOUBLE_EQ(list[size_t(b)], -std::log(1 + w[b]));
        EXPECT_NEAR(shown[size_t(b)], w[b], 1e-13 * (1 + w[b]));  // read back from the list form
    }
    EXPECT_EQ(info.peakHz, 1 * 1000.0 / 4);  // bin 1 of an FFT of 4 at 1000 Hz
    // the centroid of the read-back basis, in Hz from bin 0
    EXPECT_NEAR(info.centroidHz, (16.0 / 24.0) * 250.0, 1e-9);

    std::vector<double> share(2);
    ASSERT_EQ(kve_energyShares(&s, W.data(), H.data(), K, share.data()), KVE_OK);
    const double e0 = (1 + 4) * (4 + 16), e1 = 0.25 * (64 + 1);
    EXPECT_DOUBLE_EQ(share[0], e0 / (e0 + e1));
    EXPECT_DOUBLE_EQ(share[1], e1 / (e0 + e1));

    const std::vector<double> silent(4, 0.0);
    EXPECT_EQ(kve_activationScale(silent.data(), K, 2), 1.0);  // zeros stay zeros
    ASSERT_EQ(kve_energyShares(&s, W.data(), silent.data(), K, share.data()), KVE_OK);
    EXPECT_EQ(share, (std::vector<double>{0, 0}));
}

TEST(StreamComponents, ClipGainKeepsThePeakBelowFullScale) {
    EXPECT_EQ(kve_clipGain(0.5), 1.0);
    EXPECT_EQ(kve_clipGain(1.0), 1.0);  // full scale itself is written as it is
    EXPECT_DOUBLE_EQ(kve_clipGain(2.0), 0.999 / 2.0);
    EXPECT_LT(3.7 * kve_clipGain(3.7), 1.0);
}

// The run's estimate counts the streamed passes and more; no cap is no cap.
TEST(StreamComponents, RunMemoryAndCap) {
    kve_streamShape s{};
    ASSERT_EQ(kve_streamShapeOf(0.08, 0.25f, 44100, 441000, 2, KVE_STACK, &s), KVE_OK);
    const double run = kve_runMemory(&s, 8, 10);
    EXPECT_GT(run, double(kve_streamMemory(&s, 8, 10, sizeof(float))));
    EXPECT_GT(run, 4.0 * s.rows * s.frames);  // V as floats at least
    EXPECT_TRUE(kve_fitsMemory(run, 0));
    EXPECT_TRUE(kve_fitsMemory(run, run));
    EXPECT_FALSE(kve_fitsMemory(run, run - 1));
}
