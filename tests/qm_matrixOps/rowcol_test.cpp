// Row and column copies, outer product, index split, printing, distance and
// random permutation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "qm_matrixOps.h"

namespace {

std::vector<double> ramp(int n) {
    std::vector<double> v(n);
    for (int i = 0; i < n; i++) v[i] = i;
    return v;
}

TEST(RowCol, GetRowAndColOfRampMatrix) {
    std::vector<double> A = ramp(12);  // 3 x 4
    double row[4], col[3];
    qm_getRow(A.data(), 4, 1, row);
    EXPECT_EQ(std::vector<double>(row, row + 4), (std::vector<double>{4, 5, 6, 7}));
    qm_getCol(A.data(), 3, 4, 2, col);
    EXPECT_EQ(std::vector<double>(col, col + 3), (std::vector<double>{2, 6, 10}));
}

TEST(RowCol, PutChangesExactlyTheNamedRowOrColumn) {
    const std::vector<double> A0 = ramp(12);  // 3 x 4
    std::vector<double> A = A0;
    const double src[4] = {-1, -2, -3, -4};
    qm_putRow(A.data(), 4, 2, src);
    for (int i = 0; i < 12; i++) EXPECT_EQ(A[i], i >= 8 ? src[i - 8] : A0[i]) << i;

    A = A0;
    qm_putCol(A.data(), 3, 4, 3, src);
    for (int i = 0; i < 12; i++) EXPECT_EQ(A[i], i % 4 == 3 ? src[i / 4] : A0[i]) << i;

    // out and back in again leaves the matrix as it was
    A = A0;
    double row[4], col[3];
    qm_getRow(A.data(), 4, 0, row);
    qm_putRow(A.data(), 4, 0, row);
    qm_getCol(A.data(), 3, 4, 1, col);
    qm_putCol(A.data(), 3, 4, 1, col);
    EXPECT_EQ(A, A0);
}

TEST(RowCol, OuterProductOfColumnAndRow) {
    // column 1 of A (2 x 3) is (1, 2); row 1 of B (2 x 3) is (3, 4, 5)
    const std::vector<double> A = {9, 1, 9, 9, 2, 9};
    const std::vector<double> B = {7, 7, 7, 3, 4, 5};
    std::vector<double> dst(6, std::nan(""));
    qm_colRowOuterProd(A.data(), B.data(), 2, 3, 3, 1, 1, dst.data());
    EXPECT_EQ(dst, (std::vector<double>{3, 4, 5, 6, 8, 10}));

    // against the element formula on a non-square case, every element overwritten
    const int mA = 5, nA = 4, nB = 7;
    std::vector<double> P(mA * nA), Q(3 * nB);
    for (size_t i = 0; i < P.size(); i++) P[i] = 0.37 * i - 2.1;
    for (size_t i = 0; i < Q.size(); i++) Q[i] = 1.0 / (i + 1.5);
    std::vector<double> out(mA * nB, std::nan(""));
    qm_colRowOuterProd(P.data(), Q.data(), mA, nA, nB, 3, 2, out.data());
    for (int i = 0; i < mA; i++)
        for (int j = 0; j < nB; j++)
            EXPECT_EQ(out[i * nB + j], P[i * nA + 3] * Q[2 * nB + j]);  // one product: exact
}

TEST(RowCol, Ind2Sub) {
    int r = -7, c = -7;
    qm_ind2sub(3, 4, 9, &r, &c);
    EXPECT_EQ(r, 2);
    EXPECT_EQ(c, 1);
    qm_ind2sub(3, 4, 0, &r, &c);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(c, 0);
    qm_ind2sub(0, 5, 2147483647, &r, &c);  // row count is not consulted
    EXPECT_EQ(r, 429496729);
    EXPECT_EQ(c, 2);

    // no columns: nothing to divide by, results untouched
    r = c = 42;
    qm_ind2sub(3, 0, 9, &r, &c);
    qm_ind2sub(3, -4, 9, &r, &c);
    EXPECT_EQ(r, 42);
    EXPECT_EQ(c, 42);
}

std::string printed(const double *A, int rows, int cols, int stride) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    qm_printMatrix(A, rows, cols, stride);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Print, FormatAndStride) {
    const double A[4] = {1, 2, 3, 4};
    EXPECT_EQ(printed(A, 2, 2, 2), "1.0000000000000000 2.0000000000000000 ;\n"
                                   "3.0000000000000000 4.0000000000000000 ;\n");
    EXPECT_EQ(printed(A, 2, 2, 1), "1.0000000000000000 2.0000000000000000 ;\n"
                                   "2.0000000000000000 3.0000000000000000 ;\n");
    EXPECT_EQ(printed(A, 0, 2, 2), "");
    EXPECT_EQ(printed(A, 2, 0, 2), ";\n;\n");
    const double B[1] = {-0.1};
    EXPECT_EQ(printed(B, 1, 1, 1), "-0.1000000000000000 ;\n");
}

TEST(Dist, Euclidean) {
    const double a[2] = {0, 0}, b[2] = {3, 4};
    EXPECT_EQ(qm_euclDist(a, b, 2), 5.0);
    EXPECT_EQ(qm_euclDist(a, b, 0), 0.0);
    const double c[3] = {1.5, -2, 0.25}, d[3] = {-1, 1, 0.25};
    EXPECT_DOUBLE_EQ(qm_euclDist(c, d, 3), std::sqrt(2.5 * 2.5 + 3.0 * 3.0));  // a few roundings
}

TEST(RandPerm, IsPermutationAndDrawsNMinusOne) {
    for (int n : {1, 2, 3, 10, 57}) {
        srand(1000 + n);
        std::vector<int> draws(n);
        for (int i = 0; i < n; i++) draws[i] = rand();

        srand(1000 + n);
        std::vector<vDSP_Length> p(n, 999);
        qm_randperm(n, p.data());
        // the next draw is the n-th of the sequence: exactly n - 1 were used
        EXPECT_EQ(rand(), draws[n - 1]) << n;

        std::vector<vDSP_Length> sorted = p;
        std::sort(sorted.begin(), sorted.end());
        for (int i = 0; i < n; i++) EXPECT_EQ(sorted[i], (vDSP_Length)i) << n;

        // the swap targets follow from the draws by equal buckets of 0..2^31-1
        std::vector<vDSP_Length> ref(n);
        for (int i = 0; i < n; i++) ref[i] = i;
        for (int i = 0; i + 1 < n; i++) {
            long long width = 2147483647LL / (n - i) + 1;
            int j = i + (int)(draws[i] / width);
            ASSERT_LT(j, n);
            std::swap(ref[i], ref[j]);
        }
        EXPECT_EQ(p, ref) << n;
    }
}

TEST(RandPerm, EmptyAndSingleDrawNothing) {
    srand(5);
    int first = rand();
    srand(5);
    vDSP_Length one = 77;
    qm_randperm(1, &one);
    qm_randperm(0, nullptr);
    EXPECT_EQ(one, 0u);
    EXPECT_EQ(rand(), first);
}

}  // namespace
