// Every heap request made during a call refused in turn: the call either
// reports -1, frees what it took (the leak checker of the sanitizer build
// watches) and leaves its outputs as promised, or, when the request was one
// the vector layer can do without, succeeds with the usual result.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <vector>

#include "qm_matrixOps.h"

extern "C" void *__real_malloc(size_t n);

namespace {
// atomic: the library may take scratch on worker threads
std::atomic<bool> g_armed{false};  // count only while the call under test runs
std::atomic<long> g_calls{0};
std::atomic<long> g_failAt{-1};
}  // namespace

extern "C" void *__wrap_malloc(size_t n) {
    if (g_armed.load() && g_calls.fetch_add(1) == g_failAt.load()) return nullptr;
    return __real_malloc(n);
}

namespace {

template <class Call>
int armed(long failAt, Call call) {
    g_calls = 0;
    g_failAt = failAt;
    g_armed = true;
    int rc = call();
    g_armed = false;
    return rc;
}

TEST(ScratchFailure, SortLeavesOutputsUntouched) {
    const int F = 3, T = 4, K = 3;
    std::vector<double> W(F * K, 1.0), H(K * T, 2.0);
    std::vector<double> sW(F * K), sH(K * T);
    auto call = [&] {
        return qm_sortByHRowEnergy(W.data(), H.data(), F, T, K, sW.data(), sH.data());
    };
    ASSERT_EQ(armed(-1, call), 0);
    const long requests = g_calls;
    const std::vector<double> okW = sW, okH = sH;
    int failures = 0;
    for (long n = 0; n < requests; n++) {
        std::fill(sW.begin(), sW.end(), 7.0);
        std::fill(sH.begin(), sH.end(), 7.0);
        int rc = armed(n, call);
        if (rc == 0) {
            EXPECT_EQ(sW, okW) << n;
            EXPECT_EQ(sH, okH) << n;
            continue;
        }
        failures++;
        EXPECT_EQ(rc, -1) << n;
        EXPECT_EQ(sW, std::vector<double>(F * K, 7.0)) << n;
        EXPECT_EQ(sH, std::vector<double>(K * T, 7.0)) << n;
    }
    EXPECT_GE(failures, 2);  // energies and index order
}

TEST(ScratchFailure, FactorisationsZeroWAndH) {
    const int F = 6, T = 5, K = 2;
    std::vector<double> V(F * T);
    for (size_t i = 0; i < V.size(); i++) V[i] = 1.0 + (i % 4);
    using NMF = int (*)(const double *, int, int, int, int, double *, double *);
    for (NMF nmf : {qm_klNMF, qm_euclNMF}) {
        std::vector<double> W(F * K), H(K * T);
        auto call = [&] {
            srand(1);
            return nmf(V.data(), F, T, K, 3, W.data(), H.data());
        };
        ASSERT_EQ(armed(-1, call), 0);
        const long requests = g_calls;
        const std::vector<double> okW = W, okH = H;
        int failures = 0;
        for (long n = 0; n < requests; n++) {
            std::fill(W.begin(), W.end(), 7.0);
            std::fill(H.begin(), H.end(), 7.0);
            int rc = armed(n, call);
            if (rc == 0) {
                EXPECT_EQ(W, okW) << n;
                EXPECT_EQ(H, okH) << n;
                continue;
            }
            failures++;
            EXPECT_EQ(rc, -1) << n;
            EXPECT_EQ(W, std::vector<double>(F * K, 0.0)) << n;
            EXPECT_EQ(H, std::vector<double>(K * T, 0.0)) << n;
        }
        EXPECT_GE(failures, 3);  // iteration, ordering and sort scratch
    }
}

}  // namespace
