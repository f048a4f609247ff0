// Both factorisations against plain triple-loop updates, and their behaviour
// as a whole: ordering, descent, zeros, shapes, progress reports.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "naive_nmf.hpp"
#include "nmf_checks.hpp"
#include "nmf_internal.h"
#include "qm_matrixOps.h"

namespace {

using naive::Mat;

Mat productV(int F, int T, int K, unsigned seed) {
    return naive::productV(F, T, K, seed, 0.01);
}

using naive::expectClose;

using Iterate = int (*)(const double *, int, int, int, int, double *, double *);
using Step = void (*)(const Mat &, int, int, int, Mat &, Mat &);

struct Shape {
    int F, T, K, iter;
};

const Shape kShapes[] = {{6, 5, 2, 100}, {37, 23, 4, 30}, {1, 9, 3, 20},   {9, 1, 3, 20},
                         {8, 7, 1, 20},  {1, 1, 1, 10},   {13, 11, 12, 20}};

void iterateMatchesNaive(Iterate iterate, Step step, const char *name) {
    for (const Shape &s : kShapes) {
        SCOPED_TRACE(testing::Message() << name << " F=" << s.F << " T=" << s.T << " K=" << s.K);
        Mat V = productV(s.F, s.T, s.K, 7);
        Mat W, H;
        naive::init(s.F, s.T, s.K, W, H);
        Mat rW = W, rH = H;
        ASSERT_EQ(iterate(V.data(), s.F, s.T, s.K, s.iter, W.data(), H.data()), 0);
        for (int i = 0; i < s.iter; i++) step(V, s.F, s.T, s.K, rW, rH);
        expectClose(W, rW, "W");
        expectClose(H, rH, "H");
    }
}

TEST(KLIterate, MatchesTripleLoopUpdates) {
    iterateMatchesNaive(qm_klIterate, naive::klStep, "kl");
}

TEST(EuclIterate, MatchesTripleLoopUpdates) {
    iterateMatchesNaive(qm_euclIterate, naive::euclStep, "eucl");
}

// With one bin and one component every sum in the H update has a single
// term, so the H update must agree bit for bit: this pins the arithmetic of
// each element (reciprocal then product for Q, quotient then product for H).
// With one frame as well, the W update has single-term sums too.
void exactWithoutSums(Iterate iterate, Step step, const char *name) {
    SCOPED_TRACE(name);
    const int T = 257;
    srand(77);
    Mat V(T), W, H;
    for (double &v : V) v = 3.0 * rand() / 2147483647.0;
    naive::init(1, T, 1, W, H);
    Mat rW = W, rH = H;
    ASSERT_EQ(iterate(V.data(), 1, T, 1, 1, W.data(), H.data()), 0);
    step(V, 1, T, 1, rW, rH);
    EXPECT_EQ(H, rH);

    for (int trial = 0; trial < 50; trial++) {
        Mat v1 = {5.0 * rand() / 2147483647.0}, w1, h1;
        naive::init(1, 1, 1, w1, h1);
        Mat rw = w1, rh = h1;
        ASSERT_EQ(iterate(v1.data(), 1, 1, 1, 3, w1.data(), h1.data()), 0);
        for (int i = 0; i < 3; i++) step(v1, 1, 1, 1, rw, rh);
        EXPECT_EQ(w1, rw) << trial;
        EXPECT_EQ(h1, rh) << trial;
    }
}

TEST(KLIterate, ExactWhereNoSumIsFormed) {
    exactWithoutSums(qm_klIterate, naive::klStep, "kl");
}

TEST(EuclIterate, ExactWhereNoSumIsFormed) {
    exactWithoutSums(qm_euclIterate, naive::euclStep, "eucl");
}

using NMF = int (*)(const double *, int, int, int, int, double *, double *);

struct Variant {
    const char *name;
    NMF nmf;
    Step step;
    double (*cost)(const Mat &, const Mat &, const Mat &, int, int, int);
};

const Variant kVariants[] = {
    {"kl", qm_klNMF, naive::klStep, naive::klDiv},
    {"eucl", qm_euclNMF, naive::euclStep, naive::euclDist2},
};

TEST(NMF, WholeCallIsStartThenUpdatesThenOrdering) {
    const int F = 10, T = 8, K = 3, iter = 25;
    Mat V = productV(F, T, K, 5);
    for (const Variant &v : kVariants) {
        SCOPED_TRACE(v.name);
        srand(99);
        Mat rW, rH;
        naive::init(F, T, K, rW, rH);
        const int next = rand();
        for (int i = 0; i < iter; i++) v.step(V, F, T, K, rW, rH);
        naive::order(F, T, K, rW, rH);

        srand(99);
        Mat W(F * K, -1), H(K * T, -1);
        const Mat V0 = V;
        ASSERT_EQ(v.nmf(V.data(), F, T, K, iter, W.data(), H.data()), 0);
        EXPECT_EQ(rand(), next);  // F*K + K*T draws, none more
        EXPECT_EQ(V, V0);
        expectClose(W, rW, "W");
        expectClose(H, rH, "H");
    }
}

TEST(NMF, ZeroIterationsGiveTheOrderedStart) {
    const int F = 4, T = 6, K = 5;
    Mat V(F * T, 1.0);
    for (const Variant &v : kVariants) {
        srand(8);
        Mat rW, rH;
        naive::init(F, T, K, rW, rH);
        naive::order(F, T, K, rW, rH);
        srand(8);
        Mat W(F * K), H(K * T);
        ASSERT_EQ(v.nmf(V.data(), F, T, K, 0, W.data(), H.data()), 0);
        EXPECT_EQ(W, rW) << v.name;  // values are moved, never recomputed
        EXPECT_EQ(H, rH) << v.name;
    }
}

TEST(NMF, RowEnergiesDoNotIncrease) {
    const int F = 20, T = 15, K = 6;
    Mat V = productV(F, T, K, 12);
    for (const Variant &v : kVariants) {
        Mat W(F * K), H(K * T);
        ASSERT_EQ(v.nmf(V.data(), F, T, K, 50, W.data(), H.data()), 0);
        double prev = INFINITY;
        for (int k = 0; k < K; k++) {
            double e = 0;
            for (int t = 0; t < T; t++) e += H[k * T + t] * H[k * T + t];
            EXPECT_LE(e, prev) << v.name << " row " << k;
            prev = e;
        }
    }
}

TEST(NMF, CostFallsFromStartToOneToHundredIterations) {
    const int F = 6, T = 5, K = 2;
    Mat V = productV(F, T, K, 31);
    for (const Variant &v : kVariants) {
        double cost[3];
        const int iters[3] = {0, 1, 100};
        for (int i = 0; i < 3; i++) {
            srand(4);
            Mat W(F * K), H(K * T);
            ASSERT_EQ(v.nmf(V.data(), F, T, K, iters[i], W.data(), H.data()), 0);
            cost[i] = v.cost(V, W, H, F, T, K);
        }
        EXPECT_LT(cost[1], cost[0]) << v.name;
        EXPECT_LT(cost[2], cost[1]) << v.name;
    }
}

TEST(NMF, ZeroInputStaysZero) {
    const int F = 7, T = 9, K = 3;
    Mat V(F * T, 0.0);
    for (const Variant &v : kVariants) {
        Mat W(F * K, -1), H(K * T, -1);
        ASSERT_EQ(v.nmf(V.data(), F, T, K, 5, W.data(), H.data()), 0);
        for (double x : W) EXPECT_EQ(x, 0.0) << v.name;
        for (double x : H) EXPECT_EQ(x, 0.0) << v.name;
    }
}

TEST(NMF, ZeroStartElementsStayZero) {
    const int F = 5, T = 6, K = 2;
    Mat V = productV(F, T, K, 2);
    const Iterate its[] = {qm_klIterate, qm_euclIterate};
    for (Iterate it : its) {
        Mat W, H;
        naive::init(F, T, K, W, H);
        W[3] = 0.0;
        H[7] = 0.0;
        ASSERT_EQ(it(V.data(), F, T, K, 30, W.data(), H.data()), 0);
        EXPECT_EQ(W[3], 0.0);
        EXPECT_EQ(H[7], 0.0);
        for (double x : W) EXPECT_TRUE(std::isfinite(x));
        for (double x : H) EXPECT_TRUE(std::isfinite(x));
    }
}

TEST(NMF, DegenerateShapesStayFinite) {
    const int shapes[][3] = {{1, 1, 1}, {1, 12, 1}, {12, 1, 1}, {1, 12, 4}, {12, 1, 4}, {3, 3, 8}};
    for (const auto &s : shapes) {
        const int F = s[0], T = s[1], K = s[2];
        Mat V = productV(F, T, 1, 17);
        for (const Variant &v : kVariants) {
            Mat W(F * K), H(K * T);
            ASSERT_EQ(v.nmf(V.data(), F, T, K, 40, W.data(), H.data()), 0);
            for (double x : W) EXPECT_TRUE(std::isfinite(x) && x >= 0.0) << v.name << F << T << K;
            for (double x : H) EXPECT_TRUE(std::isfinite(x) && x >= 0.0) << v.name << F << T << K;
        }
    }
}

struct Calls {
    std::vector<std::pair<int, int>> seen;
};

void record(int done, int total, void *user) {
    static_cast<Calls *>(user)->seen.emplace_back(done, total);
}

TEST(NMF, ProgressAfterEveryRoundChangesNothing) {
    const int F = 8, T = 6, K = 2, iter = 7;
    Mat V = productV(F, T, K, 3);
    for (const Variant &v : kVariants) {
        srand(6);
        Mat W0(F * K), H0(K * T);
        ASSERT_EQ(v.nmf(V.data(), F, T, K, iter, W0.data(), H0.data()), 0);

        Calls calls;
        qm_setProgressHook(record, &calls);
        srand(6);
        Mat W(F * K), H(K * T);
        int rc = v.nmf(V.data(), F, T, K, iter, W.data(), H.data());
        qm_setProgressHook(nullptr, nullptr);
        ASSERT_EQ(rc, 0);

        ASSERT_EQ(calls.seen.size(), (size_t)iter) << v.name;
        for (int i = 0; i < iter; i++)
            EXPECT_EQ(calls.seen[i], std::make_pair(i + 1, iter)) << v.name;
        EXPECT_EQ(W, W0) << v.name;
        EXPECT_EQ(H, H0) << v.name;
    }
}

TEST(NMF, UnformableScratchFailsWithoutTouchingFactors) {
    // F*T doubles would need more bytes than an address holds: refused
    // before any allocation, and before anything is read or written
    double V = 1.0, W = 0.5, H = 0.25;
    EXPECT_EQ(qm_klIterate(&V, 2147483647, 2147483647, 1, 3, &W, &H), -1);
    EXPECT_EQ(W, 0.5);
    EXPECT_EQ(H, 0.25);
}

}  // namespace
