// The command line's start and cost: the nndsvda start of a matrix of known
// low rank, and the divergence against its definition.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "kv_stream.h"

namespace {

// V = A B with positive A (rows x r) and B (r x frames), scaled, as floats.
std::vector<float> lowRank(int rows, int frames, int r, double scale = 1.0) {
    std::vector<float> V(static_cast<size_t>(rows) * frames, 0.0f);
    for (int i = 0; i < rows; ++i)
        for (int t = 0; t < frames; ++t) {
            double v = 0;
            for (int k = 0; k < r; ++k)
                v += (1.0 + std::sin(i * (k + 1) * 0.37)) * (1.0 + std::cos(t * (k + 2) * 0.11));
            V[static_cast<size_t>(i) * frames + t] = static_cast<float>(v * scale);
        }
    return V;
}

}  // namespace

// Exact up to the floats' rounding of V (values up to 4, spacing 5e-7).
TEST(EngineStart, NndsvdaOfARankOneMatrixIsExactAndPositive) {
    const int rows = 40, frames = 70, K = 1;
    std::vector<float> V = lowRank(rows, frames, 1);
    std::vector<double> W(rows * K), H(K * frames);
    ASSERT_EQ(kve_nndsvdaStart(V.data(), rows, frames, K, 5, W.data(), H.data()), 0);
    double worst = 0;
    for (int i = 0; i < rows; ++i)
        for (int t = 0; t < frames; ++t)
            worst =
                std::max(worst, std::fabs(W[i] * H[t] - V[static_cast<size_t>(i) * frames + t]));
    EXPECT_LT(worst, 1e-6);
    EXPECT_NEAR(kve_klDivergence(V.data(), W.data(), H.data(), rows, frames, K), 0.0, 1e-9);
}

TEST(EngineStart, NndsvdaStartsCloserThanARandomOneAndHasNoZeros) {
    const int rows = 50, frames = 90, K = 3;
    // at the small level of magnitude spectra, where the mean that fills the
    // zeros adds little
    std::vector<float> V = lowRank(rows, frames, 3, 1e-3);
    std::vector<double> W(rows * K), H(K * frames), Wr(W), Hr(H);
    ASSERT_EQ(kve_nndsvdaStart(V.data(), rows, frames, K, 1, W.data(), H.data()), 0);
    for (double w : W) EXPECT_GT(w, 0.0);
    for (double h : H) EXPECT_GT(h, 0.0);
    kve_randomStart(1, rows, frames, K, Wr.data(), Hr.data());
    EXPECT_LT(kve_klDivergence(V.data(), W.data(), H.data(), rows, frames, K),
              0.1 * kve_klDivergence(V.data(), Wr.data(), Hr.data(), rows, frames, K));
}

TEST(EngineStart, DivergenceFollowsItsDefinition) {
    // V = [[1, 0], [2, 3]], W H = [[2, 1], [2, 1]] (W = [1, 1]^T, H = [2, 1])
    const float V[] = {1, 0, 2, 3};
    const double W[] = {1, 1}, H[] = {2, 1};
    const double want = (1 * std::log(1 / 2.0) - 1 + 2) + 1 + (2 * std::log(1.0) - 2 + 2) +
                        (3 * std::log(3.0) - 3 + 1);
    EXPECT_NEAR(kve_klDivergence(V, W, H, 2, 2, 1), want, 1e-12);
}

// The estimate is the divergence of the sampled frames alone: every frame of
// up to 2^20 cells, else frames apart so that about 2^20 cells are read.
TEST(EngineStart, EstimateIsTheDivergenceOfEveryStepthFrame) {
    EXPECT_EQ(kve_checkStep(30, 100), 1);
    EXPECT_EQ(kve_checkStep(2050, 203), 1);  // a 4 s stereo sound reads every frame
    EXPECT_EQ(kve_checkStep(4098, 5200), 21);
    EXPECT_EQ(kve_checkStep(1 << 22, 3), 3);  // frame 0 alone
    EXPECT_EQ(kve_checkStep(0, 0), 1);
    const int rows = 2048, frames = 1030, K = 2, step = 3, n = 344;  // frames 0, 3, .., 1029
    ASSERT_EQ(kve_checkStep(rows, frames), step);
    std::vector<float> V = lowRank(rows, frames, 2);
    std::vector<double> W(rows * K), H(K * frames);
    kve_randomStart(3, rows, frames, K, W.data(), H.data());
    std::vector<float> Vs(static_cast<size_t>(rows) * n);
    std::vector<double> Hs(static_cast<size_t>(K) * n);
    for (int i = 0; i < n; ++i) {
        for (int r = 0; r < rows; ++r)
            Vs[static_cast<size_t>(r) * n + i] = V[static_cast<size_t>(r) * frames + step * i];
        for (int k = 0; k < K; ++k)
            Hs[static_cast<size_t>(k) * n + i] = H[static_cast<size_t>(k) * frames + step * i];
    }
    const double want = kve_klDivergence(Vs.data(), W.data(), Hs.data(), rows, n, K);
    EXPECT_NEAR(kve_klEstimate(V.data(), W.data(), H.data(), rows, frames, K), want, 1e-12 * want);
}
