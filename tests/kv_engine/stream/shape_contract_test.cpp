// The two pipelines take the same FFT size for a window, the next power of
// two, over a grid of windows, overlaps and rates, wherever both accept the
// settings. The streamed one's window is as long as asked and its hop a share
// of it; the object's window is its FFT size, so the hops agree where the
// window is a power of two.
#include "kv_engine.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(StreamShapeContract, FftSizeIsTheObjectsAndTheHopAShareOfTheWindow) {
    const float windows[] = {0.0001f, 0.001f, 0.005f, 0.0232f, 0.04f,
                             0.08f,   0.1f,   0.37f,  1.0f,    2.5f};
    const float overlaps[] = {0.0f,  0.1f, 0.25f,  0.3f, 0.5f, 0.6f,
                              0.75f, 0.8f, 0.875f, 0.9f, 0.95f};
    const double rates[] = {8000, 11025, 16000, 22050, 44100, 48000, 88200, 96000, 192000};
    int compared = 0;
    for (double rate : rates)
        for (float win : windows)
            for (float overlap : overlaps) {
                const double length = 3.0 * rate;
                kve_shapeInput in{win, overlap, rate, length, 0, 0};
                kve_shape object{};
                const kve_status objectSays = kve_shapeOf(&in, &object, nullptr);
                kve_streamShape stream{};
                // the command line gives the hop fraction as the object keeps it
                const kve_status streamSays =
                    kve_streamShapeOf(win, 1.0f - overlap, rate, long(length), 2, KVE_SUM, &stream);
                if (objectSays != KVE_OK || streamSays != KVE_OK) continue;
                EXPECT_EQ(stream.N, object.fftSize)
                    << win << " s, overlap " << overlap << ", " << rate << " Hz";
                const double n = std::round(double(win) * rate);
                EXPECT_EQ(stream.window, int(n));
                EXPECT_EQ(stream.hop, int(std::round(double(float(n) * (1.0f - overlap)))))
                    << win << " s, overlap " << overlap << ", " << rate << " Hz";
                if (stream.window == stream.N) {
                    EXPECT_EQ(stream.hop, object.hop);
                }
                EXPECT_EQ(stream.bins, object.bins);
                ++compared;
            }
    EXPECT_GT(compared, 500);  // the grid is not mostly refused
}

// Both refuse a window under two samples and a hop under one the same way.
TEST(StreamShapeContract, ShortWindowAndHopAreRefusedByBoth) {
    kve_shapeInput in{1.0f / 44100, 0.75f, 44100, 44100, 0, 0};
    EXPECT_EQ(kve_shapeOf(&in, nullptr, nullptr), KVE_WINDOW_TOO_SHORT);
    kve_streamShape s{};
    EXPECT_EQ(kve_streamShapeOf(1.0 / 44100, 0.25f, 44100, 44100, 1, KVE_SUM, &s),
              KVE_WINDOW_TOO_SHORT);
    in = {4.0f / 44100, 0.9f, 44100, 44100, 0, 0};  // window and N 4, hop round(0.4) = 0
    EXPECT_EQ(kve_shapeOf(&in, nullptr, nullptr), KVE_HOP_TOO_SHORT);
    EXPECT_EQ(kve_streamShapeOf(4.0 / 44100, 1.0f - 0.9f, 44100, 44100, 1, KVE_SUM, &s),
              KVE_HOP_TOO_SHORT);
}
