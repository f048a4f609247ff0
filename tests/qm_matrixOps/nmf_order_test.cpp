// Random start values and the ordering of components by activation energy.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "qm_matrixOps.h"

namespace {

TEST(InitNMF, DrawsAllOfWThenAllOfH) {
    srand(3);
    int r[6];
    for (int &x : r) x = rand();

    srand(3);
    double W[2], H[3];
    qm_initNMF(2, 3, 1, W, H);
    EXPECT_EQ(W[0], r[0] / 2147483647.0);
    EXPECT_EQ(W[1], r[1] / 2147483647.0);
    EXPECT_EQ(H[0], r[2] / 2147483647.0);
    EXPECT_EQ(H[1], r[3] / 2147483647.0);
    EXPECT_EQ(H[2], r[4] / 2147483647.0);
    EXPECT_EQ(rand(), r[5]);  // exactly F*K + K*T = 5 draws
}

TEST(InitNMF, ValuesInUnitRangeAndNotReseeded) {
    srand(11);
    std::vector<double> W1(12), H1(20), W2(12), H2(20);
    qm_initNMF(4, 5, 3, W1.data(), H1.data());
    qm_initNMF(4, 5, 3, W2.data(), H2.data());
    EXPECT_NE(W1, W2);
    EXPECT_NE(H1, H2);
    for (double x : W1) EXPECT_TRUE(x >= 0.0 && x <= 1.0);
    for (double x : H2) EXPECT_TRUE(x >= 0.0 && x <= 1.0);
}

// W (F x K) whose column k holds 10k + f, so a moved column is recognisable
std::vector<double> taggedW(int F, int K) {
    std::vector<double> W((size_t)F * K);
    for (int f = 0; f < F; f++)
        for (int k = 0; k < K; k++) W[(size_t)f * K + k] = 10.0 * k + f;
    return W;
}

void expectOrder(const std::vector<double> &W, const std::vector<double> &H, int F, int T, int K,
                 const std::vector<int> &expect) {
    std::vector<double> sW(W.size(), -1), sH(H.size(), -1);
    ASSERT_EQ(qm_sortByHRowEnergy(W.data(), H.data(), F, T, K, sW.data(), sH.data()), 0);
    for (int i = 0; i < K; i++) {
        for (int f = 0; f < F; f++)
            EXPECT_EQ(sW[(size_t)f * K + i], W[(size_t)f * K + expect[i]]) << i;
        for (int t = 0; t < T; t++) {
            double want = H[(size_t)expect[i] * T + t];
            if (std::isnan(want))
                EXPECT_TRUE(std::isnan(sH[(size_t)i * T + t])) << i;
            else
                EXPECT_EQ(sH[(size_t)i * T + t], want) << i;
        }
    }
}

TEST(SortByHRowEnergy, DescendingEnergyCarriesBasisAlong) {
    // row energies 1, 9, 4
    const std::vector<double> H = {1, 0, 0, 3, 0, -2};
    expectOrder(taggedW(3, 3), H, 3, 2, 3, {1, 2, 0});
}

TEST(SortByHRowEnergy, SingleComponentIsCopied) {
    const std::vector<double> H = {0.5, 0.25, 2};
    expectOrder(taggedW(4, 1), H, 4, 3, 1, {0});
}

TEST(SortByHRowEnergy, TiesKeepOrderZeroRowsAndNaNLast) {
    const double nan = std::nan("");
    // energies: 0, 4, NaN, 4, 1, 0
    const std::vector<double> H = {0, 0, 2, 0, nan, 1, 0, 2, 1, 0, 0, 0};
    expectOrder(taggedW(2, 6), H, 2, 2, 6, {1, 3, 4, 0, 5, 2});
}

TEST(SortByHRowEnergy, AlwaysAPermutation) {
    // many equal energies among random ones
    const int F = 3, T = 4, K = 40;
    std::vector<double> H((size_t)K * T);
    srand(21);
    for (int k = 0; k < K; k++)
        for (int t = 0; t < T; t++)
            H[(size_t)k * T + t] = (k % 3 == 0) ? 0.5 : rand() / 2147483647.0;
    std::vector<double> W = taggedW(F, K), sW(W.size()), sH(H.size());
    ASSERT_EQ(qm_sortByHRowEnergy(W.data(), H.data(), F, T, K, sW.data(), sH.data()), 0);
    std::vector<bool> seen(K, false);
    double prev = INFINITY;
    for (int i = 0; i < K; i++) {
        int k = (int)(sW[i] / 10.0);  // row 0 of column k holds 10k
        ASSERT_TRUE(k >= 0 && k < K && !seen[k]);
        seen[k] = true;
        double e = 0;
        for (int t = 0; t < T; t++) e += sH[(size_t)i * T + t] * sH[(size_t)i * T + t];
        EXPECT_LE(e, prev);
        prev = e;
    }
}

}  // namespace
