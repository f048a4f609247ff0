#include "decompose/model_cost.hpp"

#include "kv_start.h"

#include <cblas.h>

#include <cmath>
#include <vector>

namespace korvane {

namespace {

constexpr int kBlockRows = 16;

// sum (V - W H)^2, W H made a block of rows at a time
double euclideanCost(const float *V, const double *W, const double *H, int rows, int frames, int K) {
    std::vector<double> WH;
    try {
        WH.resize(static_cast<size_t>(kBlockRows) * static_cast<size_t>(frames));
    } catch (const std::bad_alloc &) {
        return NAN;
    }
    double d = 0;
    for (int r0 = 0; r0 < rows; r0 += kBlockRows) {
        const int n = rows - r0 < kBlockRows ? rows - r0 : kBlockRows;
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, frames, K, 1.0, W + static_cast<size_t>(r0) * K, K, H,
                    frames, 0.0, WH.data(), frames);
        const float *v = V + static_cast<size_t>(r0) * frames;
        for (size_t i = 0; i < static_cast<size_t>(n) * static_cast<size_t>(frames); ++i)
            d += (double(v[i]) - WH[i]) * (double(v[i]) - WH[i]);
    }
    return d;
}

}  // namespace

double modelCost(bool euclidean, const float *V, const double *W, const double *H, int rows, int frames, int K) {
    return euclidean ? euclideanCost(V, W, H, rows, frames, K) : kve_klDivergence(V, W, H, rows, frames, K);
}

double modelCostEstimate(bool euclidean, const float *V, const double *W, const double *H, int rows, int frames,
                         int K) {
    return euclidean ? euclideanCost(V, W, H, rows, frames, K) : kve_klEstimate(V, W, H, rows, frames, K);
}

}  // namespace korvane
