// Matrix product, transpose and move against triple loops and index formulas.
#include <Accelerate/Accelerate.h>
#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<double> ramp(size_t n, double scale) {
    std::vector<double> v(n);
    for (size_t i = 0; i < n; i++) v[i] = scale * double((i * 7919) % 23) - 5.0;
    return v;
}

}  // namespace

TEST(Matrix, ProductMatchesTripleLoop) {
    const vDSP_Length shapes[][3] = {{1, 1, 1}, {3, 5, 4}, {17, 9, 33}, {64, 70, 3}, {1, 50, 20}};
    for (auto &sh : shapes) {
        const size_t m = sh[0], n = sh[1], p = sh[2];
        std::vector<double> a = ramp(m * p, 0.5), b = ramp(p * n, 0.25), c(m * n, 99.0);
        vDSP_mmulD(a.data(), 1, b.data(), 1, c.data(), 1, m, n, p);
        for (size_t i = 0; i < m; i++)
            for (size_t j = 0; j < n; j++) {
                double s = 0;
                for (size_t k = 0; k < p; k++) s += a[i * p + k] * b[k * n + j];
                // small integers times powers of two: every sum is exact
                EXPECT_EQ(c[i * n + j], s) << m << "x" << n << "x" << p;
            }
    }
}

TEST(Matrix, ProductWithStridesUsesEveryOtherElement) {
    // A is 2x2 at stride 2, B 2x1 at stride 3, C 2x1 at stride 2
    const double a[8] = {1, -9, 2, -9, 3, -9, 4, -9};
    const double b[6] = {5, -9, -9, 6, -9, -9};
    double c[4] = {0, 77, 0, 77};
    vDSP_mmulD(a, 2, b, 3, c, 2, 2, 1, 2);
    EXPECT_EQ(c[0], 17);
    EXPECT_EQ(c[2], 39);
    EXPECT_EQ(c[1], 77);
}

TEST(Matrix, ProductWithZeroDimensions) {
    double c[6] = {1, 1, 1, 1, 1, 1};
    const double a[1] = {3}, b[1] = {4};
    vDSP_mmulD(a, 1, b, 1, c, 1, 0, 3, 2);  // nothing to write
    EXPECT_EQ(c[0], 1);
    vDSP_mmulD(a, 1, b, 1, c, 1, 2, 3, 0);  // empty inner sum
    for (double v : c) EXPECT_EQ(v, 0);
}

TEST(Matrix, TransposeOfNxMIsMxN) {
    for (auto mn : {std::pair<size_t, size_t>{3, 5}, {40, 33}, {1, 7}, {6, 6}}) {
        const size_t m = mn.first, n = mn.second;
        std::vector<double> a = ramp(m * n, 1.0), c(m * n);
        vDSP_mtransD(a.data(), 1, c.data(), 1, m, n);  // a is n x m
        for (size_t i = 0; i < m; i++)
            for (size_t j = 0; j < n; j++) EXPECT_EQ(c[i * n + j], a[j * m + i]);
        std::vector<double> inplace = a;
        vDSP_mtransD(inplace.data(), 1, inplace.data(), 1, m, n);
        EXPECT_EQ(inplace, c) << "in place " << m << "x" << n;
    }
}

TEST(Matrix, MoveCopiesRowsWithTheirStrides) {
    // 2 rows of 3 columns from a 2x4 source into a 2x5 destination
    const double a[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    double c[10] = {};
    vDSP_mmovD(a, c, 3, 2, 4, 5);
    const double want[10] = {1, 2, 3, 0, 0, 5, 6, 7, 0, 0};
    for (int i = 0; i < 10; i++) EXPECT_EQ(c[i], want[i]) << i;
}
