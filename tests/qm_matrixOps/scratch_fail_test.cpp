// Every scratch request of the library refused in turn: each call reports -1,
// frees what it took (the leak checker of the sanitizer build watches) and
// leaves its outputs as promised.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <vector>

#include "qm_matrixOps.h"

extern "C" void *__real_malloc(size_t n);

namespace {
bool g_armed = false; // count only while the call under test runs
long g_calls = 0;
long g_failAt = -1;
} // namespace

extern "C" void *__wrap_malloc(size_t n)
{
    if (g_armed && g_calls++ == g_failAt)
        return nullptr;
    return __real_malloc(n);
}

namespace {

template <class Call>
int armed(long failAt, Call call)
{
    g_calls = 0;
    g_failAt = failAt;
    g_armed = true;
    int rc = call();
    g_armed = false;
    return rc;
}

TEST(ScratchFailure, SortLeavesOutputsUntouched)
{
    const int F = 3, T = 4, K = 3;
    std::vector<double> W(F * K, 1.0), H(K * T, 2.0);
    std::vector<double> sW(F * K), sH(K * T);
    auto call = [&] { return qm_sortByHRowEnergy(W.data(), H.data(), F, T, K, sW.data(), sH.data()); };
    ASSERT_EQ(armed(-1, call), 0);
    const long requests = g_calls;
    ASSERT_GT(requests, 0);
    for (long n = 0; n < requests; n++) {
        std::fill(sW.begin(), sW.end(), 7.0);
        std::fill(sH.begin(), sH.end(), 7.0);
        EXPECT_EQ(armed(n, call), -1) << n;
        for (double x : sW)
            EXPECT_EQ(x, 7.0);
        for (double x : sH)
            EXPECT_EQ(x, 7.0);
    }
}

TEST(ScratchFailure, FactorisationsZeroWAndH)
{
    const int F = 6, T = 5, K = 2;
    std::vector<double> V(F * T);
    for (size_t i = 0; i < V.size(); i++)
        V[i] = 1.0 + (i % 4);
    using NMF = int (*)(const double *, int, int, int, int, double *, double *);
    for (NMF nmf : {qm_klNMF, qm_euclNMF}) {
        std::vector<double> W(F * K), H(K * T);
        auto call = [&] { return nmf(V.data(), F, T, K, 3, W.data(), H.data()); };
        ASSERT_EQ(armed(-1, call), 0);
        const long requests = g_calls;
        ASSERT_GT(requests, 0);
        for (long n = 0; n < requests; n++) {
            std::fill(W.begin(), W.end(), 7.0);
            std::fill(H.begin(), H.end(), 7.0);
            EXPECT_EQ(armed(n, call), -1) << n;
            for (double x : W)
                EXPECT_EQ(x, 0.0);
            for (double x : H)
                EXPECT_EQ(x, 0.0);
        }
    }
}

} // namespace
