// The command line's start and cost: the nndsvda start of a matrix of known
// low rank, and the divergence against its definition.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "kv_start.h"

namespace {

// V = A B with positive A (rows x r) and B (r x frames).
std::vector<double> lowRank(int rows, int frames, int r) {
    std::vector<double> V(static_cast<size_t>(rows) * frames, 0.0);
    for (int i = 0; i < rows; ++i)
        for (int t = 0; t < frames; ++t)
            for (int k = 0; k < r; ++k)
                V[static_cast<size_t>(i) * frames + t] +=
                    (1.0 + std::sin(i * (k + 1) * 0.37)) * (1.0 + std::cos(t * (k + 2) * 0.11));
    return V;
}

}  // namespace

TEST(EngineStart, NndsvdaOfARankOneMatrixIsExactAndPositive) {
    const int rows = 40, frames = 70, K = 1;
    std::vector<double> V = lowRank(rows, frames, 1), W(rows * K), H(K * frames);
    ASSERT_EQ(kve_nndsvdaStart(V.data(), rows, frames, K, 5, W.data(), H.data()), 0);
    double worst = 0;
    for (int i = 0; i < rows; ++i)
        for (int t = 0; t < frames; ++t)
            worst = std::max(worst, std::fabs(W[i] * H[t] - V[static_cast<size_t>(i) * frames + t]));
    EXPECT_LT(worst, 1e-9);
    EXPECT_NEAR(kve_klDivergence(V.data(), W.data(), H.data(), rows, frames, K), 0.0, 1e-9);
}

TEST(EngineStart, NndsvdaStartsCloserThanARandomOneAndHasNoZeros) {
    const int rows = 50, frames = 90, K = 3;
    // at the small level of magnitude spectra, where the mean that fills the
    // zeros adds little
    std::vector<double> V = lowRank(rows, frames, 3), W(rows * K), H(K * frames), Wr(W), Hr(H);
    for (double &v : V) v *= 1e-3;
    ASSERT_EQ(kve_nndsvdaStart(V.data(), rows, frames, K, 1, W.data(), H.data()), 0);
    for (double w : W) EXPECT_GT(w, 0.0);
    for (double h : H) EXPECT_GT(h, 0.0);
    kve_randomStart(1, rows, frames, K, Wr.data(), Hr.data());
    EXPECT_LT(kve_klDivergence(V.data(), W.data(), H.data(), rows, frames, K),
              0.1 * kve_klDivergence(V.data(), Wr.data(), Hr.data(), rows, frames, K));
}

TEST(EngineStart, DivergenceFollowsItsDefinition) {
    // V = [[1, 0], [2, 3]], W H = [[2, 1], [2, 1]] (W = [1, 1]^T, H = [2, 1])
    const double V[] = {1, 0, 2, 3}, W[] = {1, 1}, H[] = {2, 1};
    const double want = (1 * std::log(1 / 2.0) - 1 + 2) + 1 + (2 * std::log(1.0) - 2 + 2) + (3 * std::log(3.0) - 3 + 1);
    EXPECT_NEAR(kve_klDivergence(V, W, H, 2, 2, 1), want, 1e-12);
}
