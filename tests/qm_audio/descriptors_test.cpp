// Centroid, kurtosis and RMS against hand-computed values.
#include "qm_audio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

TEST(Descriptors, CentroidCountsBinsFromOne) {
    const double a[] = {0, 0, 5}, b[] = {2, 2, 2, 2}, c[] = {7};
    EXPECT_EQ(qm_spectralCentroid(a, 3), 3.0);
    EXPECT_EQ(qm_spectralCentroid(b, 4), 2.5);
    EXPECT_EQ(qm_spectralCentroid(c, 1), 1.0);
    const double d[] = {1, 3};  // (1 + 6) / 4
    EXPECT_EQ(qm_spectralCentroid(d, 2), 1.75);
    const double z[] = {0, 0, 0};
    EXPECT_TRUE(std::isnan(qm_spectralCentroid(z, 3)));
    EXPECT_TRUE(std::isnan(qm_spectralCentroid(z, 0)));
}

TEST(Descriptors, CentroidIgnoresScale) {
    std::vector<double> v(50), w(50);
    for (int i = 0; i < 50; i++) {
        v[i] = std::fabs(std::sin(0.37 * i)) + 0.01;
        w[i] = 1000 * v[i];
    }
    // both are ratios of sums in the same order: scaling by 1000 moves each
    // by a rounding or two at most
    EXPECT_NEAR(qm_spectralCentroid(v.data(), 50), qm_spectralCentroid(w.data(), 50), 1e-12);
}

TEST(Descriptors, KurtosisWithPopulationMoments) {
    const double a[] = {0, 1}, b[] = {1, 2, 3, 4, 5};
    EXPECT_DOUBLE_EQ(qm_kurtosis(a, 2), 1.0);
    EXPECT_DOUBLE_EQ(qm_kurtosis(b, 5), 1.7);
    const double c[] = {4, 4, 4}, d[] = {9};
    EXPECT_TRUE(std::isnan(qm_kurtosis(c, 3)));
    EXPECT_TRUE(std::isnan(qm_kurtosis(d, 1)));
    EXPECT_TRUE(std::isnan(qm_kurtosis(d, 0)));
}

TEST(Descriptors, RmsOfOverlappingAndBlockFrames) {
    const double x[] = {1, 1, 1, 1, 3, 3};
    double out[3] = {-1, -1, -1};
    qm_RMS(x, 4, 2, 2, out);
    EXPECT_DOUBLE_EQ(out[0], 1.0);
    EXPECT_DOUBLE_EQ(out[1], std::sqrt(5.0));
    EXPECT_EQ(out[2], -1);

    const double y[] = {3, 4, 0, 0, 6, 8};
    qm_RMS(y, 2, 3, 2, out);  // hop = L: consecutive blocks
    EXPECT_DOUBLE_EQ(out[0], std::sqrt(12.5));
    EXPECT_EQ(out[1], 0.0);
    EXPECT_DOUBLE_EQ(out[2], std::sqrt(50.0));

    out[0] = -1;
    qm_RMS(y, 2, 0, 2, out);   // no frames: nothing written
    qm_RMS(y, -2, 3, 2, out);  // a negative length is refused
    EXPECT_EQ(out[0], -1);
}
