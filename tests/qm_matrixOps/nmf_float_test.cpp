// qm_NMFFromFloat: V stored as floats. Widening a float is exact, so on a V
// that floats hold the rounds are those of the double path bit for bit; on
// a V rounded to floats the model stays close to the double one; and rounds
// split over calls give the bits of one call.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "naive_nmf.hpp"
#include "nmf_checks.hpp"
#include "nmf_internal.h"
#include "qm_matrixOps.h"

namespace {

using naive::Mat;

std::vector<float> toFloat(const Mat &V) {
    return std::vector<float>(V.begin(), V.end());
}

struct Start {
    Mat W, H;
    Start(int F, int T, int K, unsigned seed) : W(size_t(F) * K), H(size_t(K) * T) {
        srand(seed);
        qm_initNMF(F, T, K, W.data(), H.data());
    }
};

// sqrt(sum (a - b)^2 / sum b^2) of the models W H
double modelDifference(const Start &a, const Start &b, int F, int T, int K) {
    Mat A = naive::mul(a.W, a.H, F, T, K), B = naive::mul(b.W, b.H, F, T, K);
    double num = 0, den = 0;
    for (size_t i = 0; i < A.size(); ++i) {
        num += (A[i] - B[i]) * (A[i] - B[i]);
        den += B[i] * B[i];
    }
    return std::sqrt(num / den);
}

}  // namespace

// Shapes with a tail after the vectors, K with and without its own kernel,
// and one large enough to be threaded.
TEST(NMFFromFloat, OnFloatValuesIsTheDoublePathBitForBit) {
    struct Shape {
        int F, T, K;
    } shapes[] = {{1, 1, 1}, {7, 13, 3}, {33, 70, 10}, {20, 41, 17}, {300, 500, 6}};
    for (const Shape &s : shapes)
        for (int eucl : {0, 1}) {
            SCOPED_TRACE(testing::Message()
                         << "eucl=" << eucl << " F=" << s.F << " T=" << s.T << " K=" << s.K);
            std::vector<float> Vf = toFloat(naive::productV(s.F, s.T, s.K < 4 ? s.K : 4, 3, 0.05));
            Mat V(Vf.begin(), Vf.end());
            Start a(s.F, s.T, s.K, 8), b(s.F, s.T, s.K, 8);
            ASSERT_EQ(qm_NMFFromFloat(eucl, Vf.data(), s.F, s.T, s.K, 25, a.W.data(), a.H.data(),
                                      nullptr, nullptr),
                      0);
            ASSERT_EQ((eucl ? qm_euclIterateFast : qm_klIterateFast)(V.data(), s.F, s.T, s.K, 25,
                                                                     b.W.data(), b.H.data()),
                      0);
            EXPECT_EQ(a.W, b.W);
            EXPECT_EQ(a.H, b.H);
        }
}

TEST(NMFFromFloat, RoundsSplitOverCallsAreOneCall) {
    const int F = 120, T = 301, K = 5;
    std::vector<float> Vf = toFloat(naive::productV(F, T, K, 6, 0.1));
    Start whole(F, T, K, 2), split(F, T, K, 2);
    ASSERT_EQ(qm_NMFFromFloat(0, Vf.data(), F, T, K, 30, whole.W.data(), whole.H.data(), nullptr,
                              nullptr),
              0);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(qm_NMFFromFloat(0, Vf.data(), F, T, K, 10, split.W.data(), split.H.data(),
                                  nullptr, nullptr),
                  0);
    EXPECT_EQ(split.W, whole.W);
    EXPECT_EQ(split.H, whole.H);
}

// V at magnitude-spectrum scale with detail below float precision: after 200
// rounds the model is within a few float roundings of the double one.
TEST(NMFFromFloat, RoundedVGivesAModelCloseToTheDoubleOne) {
    const int F = 257, T = 400, K = 8;
    Mat V = naive::productV(F, T, K, 12, 0.2);
    for (size_t i = 0; i < V.size(); ++i) V[i] = V[i] * 1e-3 + 1e-12 * double(i % 7);
    std::vector<float> Vf = toFloat(V);
    Start f(F, T, K, 5), d(F, T, K, 5);
    ASSERT_EQ(qm_NMFFromFloat(0, Vf.data(), F, T, K, 200, f.W.data(), f.H.data(), nullptr, nullptr),
              0);
    ASSERT_EQ(qm_klIterateFast(V.data(), F, T, K, 200, d.W.data(), d.H.data()), 0);
    EXPECT_LT(modelDifference(f, d, F, T, K), 1e-5);
    EXPECT_GT(modelDifference(f, d, F, T, K), 0.0) << "the rounding reached the rounds";
}

// Past a few MB of H the frames go in panels; the rounds stay the plain
// updates, with a tail after the vectors and K with its own kernel.
TEST(NMFFromFloat, LongSoundsInPanelsFollowThePlainUpdates) {
    const int F = 5, T = 27003, K = 10, rounds = 3;
    for (int eucl : {0, 1}) {
        SCOPED_TRACE(testing::Message() << "eucl=" << eucl);
        Mat V = naive::productV(F, T, 4, 7, 0.05);
        std::vector<float> Vf = toFloat(V);
        V.assign(Vf.begin(), Vf.end());
        Start fast(F, T, K, 9), plain(F, T, K, 9);
        ASSERT_EQ(qm_NMFFromFloat(eucl, Vf.data(), F, T, K, rounds, fast.W.data(), fast.H.data(),
                                  nullptr, nullptr),
                  0);
        for (int i = 0; i < rounds; ++i)
            (eucl ? naive::euclStep : naive::klStep)(V, F, T, K, plain.W, plain.H);
        for (size_t i = 0; i < fast.W.size(); ++i)
            ASSERT_NEAR(fast.W[i], plain.W[i], 1e-10 * std::fabs(plain.W[i])) << "W[" << i << "]";
        for (size_t i = 0; i < fast.H.size(); ++i)
            ASSERT_NEAR(fast.H[i], plain.H[i], 1e-10 * std::fabs(plain.H[i]) + 1e-300)
                << "H[" << i << "]";
    }
}
