// The streamed factorisation's costs against their definitions, and the
// tolerance loop: when it checks, when it stops, and what it reports.
#include "kv_engine.h"
#include "qm_matrixOps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

struct Problem {
    int rows = 12, frames = 40, K = 3;
    std::vector<float> V;
    std::vector<double> W, H;
    Problem() {
        V.resize(size_t(rows) * frames);
        for (int r = 0; r < rows; ++r)
            for (int t = 0; t < frames; ++t)
                V[size_t(r * frames + t)] =
                    float(1.0 + std::sin(0.3 * r + 0.11 * t * (r % 3 + 1)) + (r * t % 5) * 0.2);
        W.resize(size_t(rows) * K);
        H.resize(size_t(K) * frames);
        kve_randomStart(5, rows, frames, K, W.data(), H.data());
    }
    // W H by a triple loop, the reference of both costs
    double model(int r, int t) const {
        double m = 0;
        for (int k = 0; k < K; ++k) m += W[size_t(r * K + k)] * H[size_t(k * frames + t)];
        return m;
    }
};

int countRounds(int done, int total, void *user) {
    auto *seen = static_cast<std::vector<int> *>(user);
    seen->push_back(done);
    EXPECT_GT(total, 0);
    return 0;
}

int stopAt25(int done, int, void *) {
    return done == 25;
}

}  // namespace

TEST(StreamCost, EuclideanIsTheSumOfSquaredDifferences) {
    Problem p;
    double want = 0;
    for (int r = 0; r < p.rows; ++r)
        for (int t = 0; t < p.frames; ++t) {
            const double d = p.V[size_t(r * p.frames + t)] - p.model(r, t);
            want += d * d;
        }
    const double got = kve_euclideanCost(p.V.data(), p.W.data(), p.H.data(), p.rows, p.frames, p.K);
    EXPECT_NEAR(got, want, 1e-12 * want);  // summation order only
    // the Euclidean estimate is the whole cost; the Kullback-Leibler one samples the frames
    EXPECT_EQ(
        kve_costEstimate(KVE_EUCLIDEAN, p.V.data(), p.W.data(), p.H.data(), p.rows, p.frames, p.K),
        got);
    EXPECT_EQ(kve_cost(KVE_EUCLIDEAN, p.V.data(), p.W.data(), p.H.data(), p.rows, p.frames, p.K),
              got);
    EXPECT_EQ(kve_costEstimate(KVE_KULLBACK_LEIBLER, p.V.data(), p.W.data(), p.H.data(), p.rows,
                               p.frames, p.K),
              kve_klEstimate(p.V.data(), p.W.data(), p.H.data(), p.rows, p.frames, p.K));
    EXPECT_EQ(
        kve_cost(KVE_KULLBACK_LEIBLER, p.V.data(), p.W.data(), p.H.data(), p.rows, p.frames, p.K),
        kve_klDivergence(p.V.data(), p.W.data(), p.H.data(), p.rows, p.frames, p.K));
}

// Without a tolerance every round runs in one go, and the result is that of
// the rounds themselves; the cost reported is the exact one.
TEST(StreamRounds, NoToleranceRunsEveryRound) {
    for (int cost : {KVE_EUCLIDEAN, KVE_KULLBACK_LEIBLER}) {
        Problem p, q;
        kve_rounds how{cost, 37, 0.0, -1, nullptr, KVE_DOUBLE, nullptr, 0, 0};
        kve_roundsDone done{};
        std::vector<int> seen;
        ASSERT_EQ(kve_streamFactorise(p.V.data(), p.rows, p.frames, p.K, p.W.data(), p.H.data(),
                                      &how, countRounds, &seen, &done),
                  KVE_OK);
        EXPECT_EQ(done.iterations, 37);
        ASSERT_EQ(seen.size(), 37u);
        for (size_t i = 0; i < seen.size(); ++i)
            EXPECT_EQ(seen[i], int(i) + 1);  // counted over the whole run
        ASSERT_EQ(qm_NMFFromFloat(cost == KVE_EUCLIDEAN, q.V.data(), q.rows, q.frames, q.K, 37,
                                  q.W.data(), q.H.data(), nullptr, nullptr),
                  0);
        EXPECT_EQ(p.W, q.W);
        EXPECT_EQ(p.H, q.H);
        EXPECT_EQ(done.cost,
                  kve_cost(cost, p.V.data(), p.W.data(), p.H.data(), p.rows, p.frames, p.K));
    }
}

// A tolerance checks the estimate every KVE_CHECK_EVERY rounds and stops at
// the first check that changed it by less than tol of itself; a tiny one
// runs them all, a huge one stops at the first check.
TEST(StreamRounds, ToleranceStopsAtTheFirstSettledCheck) {
    Problem p;
    kve_rounds how{KVE_KULLBACK_LEIBLER, 200, 1e9, -1, nullptr, KVE_DOUBLE, nullptr, 0, 0};
    kve_roundsDone done{};
    ASSERT_EQ(kve_streamFactorise(p.V.data(), p.rows, p.frames, p.K, p.W.data(), p.H.data(), &how,
                                  nullptr, nullptr, &done),
              KVE_OK);
    EXPECT_EQ(done.iterations, KVE_CHECK_EVERY);

    // replay the checks by hand: the loop stops where they say
    Problem q, r;
    how.tol = 1e-2;
    ASSERT_EQ(kve_streamFactorise(q.V.data(), q.rows, q.frames, q.K, q.W.data(), q.H.data(), &how,
                                  nullptr, nullptr, &done),
              KVE_OK);
    int run = 0;
    double last = kve_klEstimate(r.V.data(), r.W.data(), r.H.data(), r.rows, r.frames, r.K);
    while (run < 200) {
        qm_NMFFromFloat(0, r.V.data(), r.rows, r.frames, r.K, KVE_CHECK_EVERY, r.W.data(),
                        r.H.data(), nullptr, nullptr);
        run += KVE_CHECK_EVERY;
        const double now =
            kve_klEstimate(r.V.data(), r.W.data(), r.H.data(), r.rows, r.frames, r.K);
        // a rise of the estimate (a sample of the frames) is no settling
        const bool settled = std::fabs(last - now) < 1e-2 * std::fabs(last);
        last = now;
        if (settled) break;
    }
    EXPECT_EQ(done.iterations, run);
    EXPECT_LT(run, 200);  // the case is meant to settle early
    EXPECT_EQ(q.W, r.W);
    EXPECT_EQ(q.H, r.H);
}

// Given bases: fixedK leading columns stay bit for bit.
TEST(StreamRounds, FixedBasesKeepTheirValues) {
    Problem p;
    const std::vector<double> W0 = p.W;
    kve_rounds how{KVE_KULLBACK_LEIBLER, 20, 0.0, 2, nullptr, KVE_DOUBLE, nullptr, 0, 0};
    ASSERT_EQ(kve_streamFactorise(p.V.data(), p.rows, p.frames, p.K, p.W.data(), p.H.data(), &how,
                                  nullptr, nullptr, nullptr),
              KVE_OK);
    for (int r = 0; r < p.rows; ++r)
        for (int k = 0; k < 2; ++k) EXPECT_EQ(p.W[size_t(r * p.K + k)], W0[size_t(r * p.K + k)]);
    EXPECT_NE(p.W, W0);  // the free column learned
}

TEST(StreamRounds, ProgressCanStopTheWorkAndBadArgumentsAreRefused) {
    Problem p;
    kve_rounds how{KVE_EUCLIDEAN, 100, 1e-6, -1, nullptr, KVE_DOUBLE, nullptr, 0, 0};
    kve_roundsDone done{-1, -1, -1};
    EXPECT_EQ(kve_streamFactorise(p.V.data(), p.rows, p.frames, p.K, p.W.data(), p.H.data(), &how,
                                  stopAt25, nullptr, &done),
              KVE_STOPPED);
    EXPECT_EQ(done.iterations, -1);  // untouched unless done
    EXPECT_EQ(kve_streamFactorise(nullptr, p.rows, p.frames, p.K, p.W.data(), p.H.data(), &how,
                                  nullptr, nullptr, &done),
              KVE_BAD_ARGUMENT);
    EXPECT_EQ(kve_streamFactorise(p.V.data(), p.rows, p.frames, 0, p.W.data(), p.H.data(), &how,
                                  nullptr, nullptr, &done),
              KVE_BAD_ARGUMENT);
}

// A looser tolerance stops no later than a tighter one, always at a check.
TEST(StreamRounds, LooserToleranceStopsNoLater) {
    auto roundsRun = [](double tol) {
        Problem p;
        kve_rounds how{KVE_KULLBACK_LEIBLER, 300, tol, -1, nullptr, KVE_DOUBLE, nullptr, 0, 0};
        kve_roundsDone done{};
        EXPECT_EQ(kve_streamFactorise(p.V.data(), p.rows, p.frames, p.K, p.W.data(), p.H.data(),
                                      &how, nullptr, nullptr, &done),
                  KVE_OK);
        return done.iterations;
    };
    const int tight = roundsRun(1e-7), loose = roundsRun(1e-2);
    EXPECT_LE(loose, tight);
    EXPECT_EQ(loose % KVE_CHECK_EVERY, 0);
    EXPECT_LT(loose, 300);
}
