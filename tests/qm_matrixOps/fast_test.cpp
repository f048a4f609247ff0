// The blocked, threaded update loops against the plain step-by-step
// updates, on shapes that reach every kernel: one component, one bin, one
// frame, frame counts that leave a tail after the vectors, K with and
// without a specialised kernel, and sizes large enough to be threaded.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <utility>
#include <vector>

#include "naive_nmf.hpp"
#include "nmf_checks.hpp"
#include "nmf_internal.h"
#include "qm_matrixOps.h"

namespace {

using naive::Mat;

Mat positiveV(int F, int T, int K, unsigned seed) {
    return naive::productV(F, T, K, seed, 0.05);
}

using naive::expectClose;

struct Shape {
    int F, T, K;
};

using Iterate = int (*)(const double *, int, int, int, int, double *, double *);
using Step = void (*)(const Mat &, int, int, int, Mat &, Mat &);

struct Variant {
    const char *name;
    Iterate fast, library;
    Step step;
};

const Variant kVariants[] = {
    {"kl", qm_klIterateFast, qm_klIterate, naive::klStep},
    {"eucl", qm_euclIterateFast, qm_euclIterate, naive::euclStep},
};

void agreeAfter100(const Variant &v, const Shape &s) {
    SCOPED_TRACE(testing::Message() << v.name << " F=" << s.F << " T=" << s.T << " K=" << s.K);
    const int iter = 100;
    Mat V = positiveV(s.F, s.T, s.K < 4 ? s.K : 4, 11);
    Mat W, H;
    srand(5);
    naive::init(s.F, s.T, s.K, W, H);
    Mat rW = W, rH = H;
    ASSERT_EQ(v.fast(V.data(), s.F, s.T, s.K, iter, W.data(), H.data()), 0);
    for (int i = 0; i < iter; i++) v.step(V, s.F, s.T, s.K, rW, rH);
    expectClose(W, rW, "W");
    expectClose(H, rH, "H");
}

TEST(IterateFast, AgreesWithStepByStepOnSmallShapes) {
    const Shape shapes[] = {
        {1, 1, 1},  {1, 9, 3},   {9, 1, 3},   {8, 7, 1},   {13, 11, 12}, {37, 23, 4},
        {6, 16, 2}, {5, 35, 10}, {3, 64, 16}, {7, 19, 17}, {11, 41, 23},
    };
    for (const Variant &v : kVariants)
        for (const Shape &s : shapes) agreeAfter100(v, s);
}

TEST(IterateFast, AgreesWithStepByStepWhenThreaded) {
    // enough work per round to be split over the threads, one specialised
    // kernel and one general one
    agreeAfter100(kVariants[0], {161, 251, 10});
    agreeAfter100(kVariants[1], {97, 213, 20});
}

TEST(IterateFast, AgreesWithTheLibraryLoops) {
    // rows of H a multiple of 4 KiB apart in the caller's layout
    const int F = 65, T = 512, K = 10, iter = 100;
    Mat V = positiveV(F, T, 3, 21);
    for (const Variant &v : kVariants) {
        Mat W, H;
        srand(9);
        naive::init(F, T, K, W, H);
        Mat pW = W, pH = H;
        ASSERT_EQ(v.fast(V.data(), F, T, K, iter, W.data(), H.data()), 0);
        ASSERT_EQ(v.library(V.data(), F, T, K, iter, pW.data(), pH.data()), 0);
        expectClose(W, pW, v.name);
        expectClose(H, pH, v.name);
    }
}

TEST(IterateFast, ZeroInputAndZeroStartsStayZero) {
    const int F = 9, T = 21, K = 3;
    for (const Variant &v : kVariants) {
        SCOPED_TRACE(v.name);
        Mat V(F * T, 0.0), W, H;
        naive::init(F, T, K, W, H);
        ASSERT_EQ(v.fast(V.data(), F, T, K, 5, W.data(), H.data()), 0);
        for (double x : W) EXPECT_EQ(x, 0.0);
        for (double x : H) EXPECT_EQ(x, 0.0);

        V = positiveV(F, T, K, 4);
        naive::init(F, T, K, W, H);
        W[4] = 0.0;
        H[17] = 0.0;
        ASSERT_EQ(v.fast(V.data(), F, T, K, 30, W.data(), H.data()), 0);
        EXPECT_EQ(W[4], 0.0);
        EXPECT_EQ(H[17], 0.0);
        for (double x : W) EXPECT_TRUE(std::isfinite(x));
        for (double x : H) EXPECT_TRUE(std::isfinite(x));
    }
}

struct Calls {
    std::vector<std::pair<int, int>> seen;
};

void record(int done, int total, void *user) {
    static_cast<Calls *>(user)->seen.emplace_back(done, total);
}

TEST(IterateFast, ReportsEveryRoundAndNothingWithoutRounds) {
    Mat V = positiveV(161, 251, 2, 8);  // threaded
    Mat W, H;
    naive::init(161, 251, 10, W, H);
    const Mat W0 = W, H0 = H;

    Calls calls;
    qm_setProgressHook(record, &calls);
    EXPECT_EQ(qm_klIterateFast(V.data(), 161, 251, 10, 0, W.data(), H.data()), 0);
    EXPECT_TRUE(calls.seen.empty());
    EXPECT_EQ(W, W0);
    EXPECT_EQ(H, H0);

    EXPECT_EQ(qm_klIterateFast(V.data(), 161, 251, 10, 4, W.data(), H.data()), 0);
    EXPECT_EQ(qm_euclIterateFast(V.data(), 161, 251, 10, 3, W.data(), H.data()), 0);
    // no factor to update, but the rounds still count
    EXPECT_EQ(qm_klIterateFast(V.data(), 0, 251, 10, 2, W.data(), H.data()), 0);
    qm_setProgressHook(nullptr, nullptr);
    const std::vector<std::pair<int, int>> want = {{1, 4}, {2, 4}, {3, 4}, {4, 4}, {1, 3},
                                                   {2, 3}, {3, 3}, {1, 2}, {2, 2}};
    EXPECT_EQ(calls.seen, want);
}

TEST(IterateFast, UnformableScratchFailsWithoutTouchingFactors) {
    // K x T numerators would need more bytes than an address holds
    for (const Variant &v : kVariants) {
        double V = 1.0, W = 0.5, H = 0.25;
        EXPECT_EQ(v.fast(&V, 1, 2147483647, 2147483647, 3, &W, &H), -1) << v.name;
        EXPECT_EQ(W, 0.5);
        EXPECT_EQ(H, 0.25);
    }
}

}  // namespace
