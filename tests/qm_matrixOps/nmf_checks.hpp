// Inputs and comparisons shared by the factorisation tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "naive_nmf.hpp"

namespace naive {

// V = W0 H0 plus noise of up to `noise`, from random non-negative factors
inline Mat productV(int F, int T, int K, unsigned seed, double noise) {
    srand(seed);
    Mat W0, H0;
    init(F, T, K, W0, H0);
    Mat V = mul(W0, H0, F, T, K);
    for (double &v : V) v += noise * (rand() / 2147483647.0);
    return V;
}

// All sums compared add non-negative terms, so reordering them moves each
// element by a few roundings per round; 1e-12 relative leaves room for the
// growth over the rounds compared (about 2e-13 after 100 is typical).
inline void expectClose(const Mat &got, const Mat &want, const char *what) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); i++)
        EXPECT_NEAR(got[i], want[i], 1e-12 * std::fabs(want[i])) << what << " [" << i << "]";
}

}  // namespace naive
