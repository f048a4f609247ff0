// Element-wise operations, reductions and the window, against closed forms.
#include <Accelerate/Accelerate.h>
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

TEST(Vector, ArgumentOrderOfSubtractionAndDivision) {
    const double b[3] = {2, 4, 8}, a[3] = {10, 20, 40};
    double c[3];
    vDSP_vdivD(b, 1, a, 1, c, 1, 3);  // divisor first
    EXPECT_EQ(c[0], 5);
    EXPECT_EQ(c[1], 5);
    EXPECT_EQ(c[2], 5);
    vDSP_vsubD(b, 1, a, 1, c, 1, 3);  // subtrahend first
    EXPECT_EQ(c[0], 8);
    EXPECT_EQ(c[2], 32);
}

TEST(Vector, ElementWiseAndScalarForms) {
    const double a[4] = {1, -2, 3, -4}, b[4] = {3, 4, -4, 3};
    double c[4];
    vDSP_vaddD(a, 1, b, 1, c, 1, 4);
    EXPECT_EQ(c[1], 2);
    vDSP_vmulD(a, 1, b, 1, c, 1, 4);
    EXPECT_EQ(c[2], -12);
    vDSP_vdistD(a, 1, b, 1, c, 1, 4);
    EXPECT_DOUBLE_EQ(c[0], std::sqrt(10.0));
    EXPECT_DOUBLE_EQ(c[3], 5.0);
    const double s = 0.5;
    vDSP_vsaddD(a, 1, &s, c, 1, 4);
    EXPECT_EQ(c[3], -3.5);
    vDSP_vsmulD(a, 1, &s, c, 1, 4);
    EXPECT_EQ(c[2], 1.5);
    vDSP_vsdivD(a, 1, &s, c, 1, 4);
    EXPECT_EQ(c[1], -4);
}

TEST(Vector, OutputsMayAliasInputs) {
    double a[3] = {1, 2, 3};
    const double b[3] = {10, 10, 10};
    vDSP_vaddD(a, 1, b, 1, a, 1, 3);
    EXPECT_EQ(a[2], 13);
    const double two = 2;
    vDSP_vsmulD(a, 1, &two, a, 1, 3);
    EXPECT_EQ(a[0], 22);
}

TEST(Vector, StridesCountElements) {
    const double a[6] = {1, 100, 2, 100, 3, 100};
    const double b[3] = {1, 1, 1};
    double c[9] = {};
    vDSP_vaddD(a, 2, b, 1, c, 3, 3);
    EXPECT_EQ(c[0], 2);
    EXPECT_EQ(c[3], 3);
    EXPECT_EQ(c[6], 4);
    EXPECT_EQ(c[1], 0);
    double m;
    vDSP_maxvD(a, 2, &m, 3);
    EXPECT_EQ(m, 3);
}

TEST(Vector, FillClearRamp) {
    double c[5];
    const double v = 7, start = 1, step = 0.25;
    vDSP_vfillD(&v, c, 1, 5);
    EXPECT_EQ(c[4], 7);
    vDSP_vclrD(c, 1, 5);
    EXPECT_EQ(c[3], 0);
    vDSP_vrampD(&start, &step, c, 1, 5);
    EXPECT_EQ(c[0], 1);
    EXPECT_EQ(c[4], 2);
}

TEST(Vector, Reductions) {
    const double a[4] = {-7, 2, 5, -1};
    double m;
    vDSP_maxvD(a, 1, &m, 4);
    EXPECT_EQ(m, 5);
    vDSP_maxmgvD(a, 1, &m, 4);
    EXPECT_EQ(m, 7);
    vDSP_meanvD(a, 1, &m, 4);
    EXPECT_EQ(m, -0.25);
    vDSP_svesqD(a, 1, &m, 4);
    EXPECT_EQ(m, 79);
    vDSP_sveD(a, 1, &m, 4);
    EXPECT_EQ(m, -1);
    // empty inputs
    vDSP_maxvD(a, 1, &m, 0);
    EXPECT_EQ(m, -INFINITY);
    vDSP_maxmgvD(a, 1, &m, 0);
    EXPECT_EQ(m, 0);
    vDSP_svesqD(a, 1, &m, 0);
    EXPECT_EQ(m, 0);
}

TEST(Window, PeriodicBlackmanNeverNegative) {
    for (vDSP_Length n : {1ul, 2ul, 8ul, 1024ul, 4096ul}) {
        std::vector<double> w(n, -1.0);
        vDSP_blkman_windowD(w.data(), n, 0);
        EXPECT_EQ(w[0], 0.0) << n;  // exactly 0, not -1.4e-17
        for (size_t k = 0; k < n; k++) {
            double ref =
                0.42 - 0.5 * std::cos(2 * M_PI * k / n) + 0.08 * std::cos(4 * M_PI * k / n);
            EXPECT_GE(w[k], 0.0);
            EXPECT_NEAR(w[k], ref, 1e-15);  // the formula itself, up to the clamp at 0
        }
        if (n >= 2) {
            EXPECT_NEAR(w[n / 2], 1.0, 1e-15);
        }
    }
}

TEST(Window, HalfWindowWritesTheFirstHalfOnly) {
    std::vector<double> full(16), half(16, -5.0);
    vDSP_blkman_windowD(full.data(), 16, 0);
    vDSP_blkman_windowD(half.data(), 16, vDSP_HALF_WINDOW);
    for (int k = 0; k < 8; k++) EXPECT_EQ(half[k], full[k]);
    EXPECT_EQ(half[8], -5.0);
}
