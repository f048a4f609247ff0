// The analysis shape: a pure function of window, overlap, rate and length.
#include "kv_engine.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

kve_shapeInput input(float window, double rate, double samples, float overlap = 0.75f) {
    return kve_shapeInput{window, overlap, rate, samples, 10000, 8200};
}

TEST(Shape, DefaultsGiveTheObjectsAnalysis) {
    kve_shape s;
    kve_shapeDetail d;
    kve_shapeInput in = input(0.08f, 44100, 441000);
    ASSERT_EQ(kve_shapeOf(&in, &s, &d), KVE_OK);
    // 3528 samples round up to 4096 points, a quarter hop
    EXPECT_EQ(s.fftSize, 4096);
    EXPECT_EQ(s.hop, 1024);
    EXPECT_EQ(s.frames, 426);  // 430 hops less the 4 a window spans
    EXPECT_EQ(s.bins, 2049);
    EXPECT_EQ(d.fftSize, 4096.0);
    EXPECT_EQ(d.frames, 426.0);
    EXPECT_EQ(d.length, 441000.0);
    // no frame ends past the last sample
    EXPECT_LE((s.frames - 1) * s.hop + s.fftSize, 441000);
}

TEST(Shape, RefusalsCarryTheirNumbers) {
    kve_shapeDetail d;
    // under 2 samples: 1e-5 s at 44100 Hz rounds to 0
    kve_shapeInput in = input(1e-5f, 44100, 44100);
    EXPECT_EQ(kve_shapeOf(&in, nullptr, &d), KVE_WINDOW_TOO_SHORT);
    EXPECT_DOUBLE_EQ(d.fitWindow, 2.0 / 44100);
    in = input(0.08f, NAN, 44100);
    EXPECT_EQ(kve_shapeOf(&in, nullptr, &d), KVE_WINDOW_TOO_SHORT);
    in = input(INFINITY, 44100, 44100);
    EXPECT_EQ(kve_shapeOf(&in, nullptr, &d), KVE_WINDOW_TOO_SHORT);

    // hop under 1 sample: no hop at all, or a 4-point window at 90 % overlap
    in = input(0.08f, 44100, 44100, 1.0f);
    EXPECT_EQ(kve_shapeOf(&in, nullptr, &d), KVE_HOP_TOO_SHORT);
    EXPECT_EQ(d.hop, 0.0);
    EXPECT_EQ(d.fitWindow, 0.0);  // no window helps
    in = input(3.0f / 44100, 44100, 5000, 0.9f);
    EXPECT_EQ(kve_shapeOf(&in, nullptr, &d), KVE_HOP_TOO_SHORT);
    kve_shapeInput fit = in;
    fit.window = static_cast<float>(d.fitWindow);
    EXPECT_EQ(kve_shapeOf(&fit, nullptr, nullptr), KVE_OK) << d.fitWindow;

    // too short: 2000 samples for 4096 points; the window offered fits
    in = input(0.08f, 44100, 2000);
    EXPECT_EQ(kve_shapeOf(&in, nullptr, &d), KVE_SOUND_TOO_SHORT);
    EXPECT_LT(d.frames, 1.0);
    fit = in;
    fit.window = static_cast<float>(d.fitWindow);
    kve_shape s;
    EXPECT_EQ(kve_shapeOf(&fit, &s, nullptr), KVE_OK) << d.fitWindow;
    EXPECT_EQ(s.fftSize, 1024);  // the longest that leaves a frame
    in = input(0.08f, 44100, 0);
    EXPECT_EQ(kve_shapeOf(&in, nullptr, &d), KVE_SOUND_TOO_SHORT);

    // too long: 22040 frames of a 64-point window at hop 6
    in = input(0.001f, 44100, 132300, 0.9f);
    EXPECT_EQ(kve_shapeOf(&in, nullptr, &d), KVE_TOO_MANY_FRAMES);
    EXPECT_EQ(d.frames, 22040.0);
    EXPECT_EQ(d.limit, 10000.0);
    fit = in;
    fit.window = static_cast<float>(d.fitWindow);
    EXPECT_EQ(kve_shapeOf(&fit, &s, nullptr), KVE_OK) << d.fitWindow;
    EXPECT_LE(s.frames, 10000);

    // too many bins: 1 s at 44100 Hz needs 65536 points
    in = input(1.0f, 44100, 441000);
    EXPECT_EQ(kve_shapeOf(&in, nullptr, &d), KVE_TOO_MANY_BINS);
    EXPECT_EQ(d.bins, 32769.0);
    EXPECT_EQ(d.limit, 8200.0);
    fit = in;
    fit.window = static_cast<float>(d.fitWindow);
    EXPECT_EQ(kve_shapeOf(&fit, &s, nullptr), KVE_OK) << d.fitWindow;
    EXPECT_EQ(s.fftSize, 16384);
}

TEST(Shape, RefusalsComeInOrder) {
    // short window and short sound: the window is named first
    kve_shapeInput in = input(1e-5f, 44100, 1);
    EXPECT_EQ(kve_shapeOf(&in, nullptr, nullptr), KVE_WINDOW_TOO_SHORT);
    // too many frames and too many bins: frames first
    in = input(0.5f, 44100, 1e9, 0.999f);
    EXPECT_EQ(kve_shapeOf(&in, nullptr, nullptr), KVE_TOO_MANY_FRAMES);
}

TEST(Shape, ZeroMeansNoLimit) {
    // 20 minutes at 44100 Hz: 51677 frames, over the object's cap
    kve_shapeInput in = input(0.08f, 44100, 44100.0 * 1200);
    EXPECT_EQ(kve_shapeOf(&in, nullptr, nullptr), KVE_TOO_MANY_FRAMES);
    in.maxFrames = 0;
    kve_shape s;
    ASSERT_EQ(kve_shapeOf(&in, &s, nullptr), KVE_OK);
    EXPECT_EQ(s.frames, 51675);  // 51679 hops less 4
    in = input(2.0f, 44100, 441000);
    in.maxBins = 0;
    ASSERT_EQ(kve_shapeOf(&in, &s, nullptr), KVE_OK);
    EXPECT_EQ(s.bins, 65537);
    // even without limits the counts stay within int
    in = input(1e6f, 1e6, 1e15);
    in.maxBins = in.maxFrames = 0;
    EXPECT_EQ(kve_shapeOf(&in, nullptr, nullptr), KVE_TOO_MANY_BINS);
    // and so do limits past what an int holds: 1e15 samples at hop 1 are
    // refused, not converted to an int
    in = input(0.0001f, 44100, 1e15);
    in.maxFrames = 1e30;
    in.maxBins = 1e30;
    kve_shapeDetail d;
    EXPECT_EQ(kve_shapeOf(&in, &s, &d), KVE_TOO_MANY_FRAMES);
    EXPECT_EQ(d.limit, 2147483647.0);
    // a hop of 4.9e29 samples gives a sound of 1e30 samples two frames: the
    // sound is refused, not its hop converted to an int
    in = input(0.08f, 44100, 1e30, -1.2e26f);
    EXPECT_EQ(kve_shapeOf(&in, &s, &d), KVE_SOUND_TOO_LONG);
    EXPECT_EQ(d.frames, 2.0);
    EXPECT_EQ(d.limit, 2147483647.0);
}

}  // namespace
