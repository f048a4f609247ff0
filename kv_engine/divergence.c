/* The costs the streamed factorisation reports and stops on. */
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "kv_engine_private.h"

enum { KVE_BLOCK_ROWS = KVE_COST_ROWS };
/* cells the estimate reads at most: a few milliseconds */
#define KVE_CHECK_CELLS (1 << 20)

/* sum of V log(V / WH) - V + WH over the rows and the frames 0, step, 2 step.. */
static double kve_divergenceOver(const float *V, const double *W, const double *H, int rows,
                                 int frames, int K, int step)
{
    const size_t n = ((size_t)frames + (size_t)step - 1) / (size_t)step;
    double *WH = malloc(((size_t)KVE_BLOCK_ROWS + (step > 1 ? (size_t)K : 0)) * n * sizeof *WH);
    if (!WH) return NAN;
    const double *Hs = H;
    if (step > 1) { /* the sampled frames' activations, side by side */
        double *h = WH + (size_t)KVE_BLOCK_ROWS * n;
        for (int k = 0; k < K; k++)
            for (size_t i = 0; i < n; i++)
                h[(size_t)k * n + i] = H[(size_t)k * frames + i * (size_t)step];
        Hs = h;
    }
    double d = 0.0;
    for (int r0 = 0; r0 < rows; r0 += KVE_BLOCK_ROWS) {
        int nr = rows - r0 < KVE_BLOCK_ROWS ? rows - r0 : KVE_BLOCK_ROWS;
        vDSP_mmulD(W + (size_t)r0 * K, 1, Hs, 1, WH, 1, (vDSP_Length)nr, (vDSP_Length)n,
                   (vDSP_Length)K);
        for (int r = 0; r < nr; r++) {
            const float *v = V + (size_t)(r0 + r) * frames;
            const double *m = WH + (size_t)r * n;
            for (size_t i = 0; i < n; i++) {
                double x = v[i * (size_t)step], y = m[i] > 1e-300 ? m[i] : 1e-300;
                d += x > 0 ? x * log(x / y) - x + y : y;
            }
        }
    }
    free(WH);
    return d;
}

double kve_klDivergence(const float *V, const double *W, const double *H, int rows, int frames,
                        int K)
{
    return kve_divergenceOver(V, W, H, rows, frames, K, 1);
}

int kve_checkStep(int rows, int frames)
{
    const double cells = (double)(rows > 0 ? rows : 1) * (double)(frames > 0 ? frames : 1);
    const double step = ceil(cells / KVE_CHECK_CELLS);
    return step < (double)frames ? (int)step : frames > 1 ? frames : 1;
}

double kve_klEstimate(const float *V, const double *W, const double *H, int rows, int frames, int K)
{
    return kve_divergenceOver(V, W, H, rows, frames, K, kve_checkStep(rows, frames));
}

double kve_euclideanCost(const float *V, const double *W, const double *H, int rows, int frames,
                         int K)
{
    double *WH = malloc((size_t)KVE_BLOCK_ROWS * (size_t)frames * sizeof *WH + 1);
    if (!WH) return NAN;
    double d = 0.0;
    for (int r0 = 0; r0 < rows; r0 += KVE_BLOCK_ROWS) {
        const int nr = rows - r0 < KVE_BLOCK_ROWS ? rows - r0 : KVE_BLOCK_ROWS;
        vDSP_mmulD(W + (size_t)r0 * K, 1, H, 1, WH, 1, (vDSP_Length)nr, (vDSP_Length)frames,
                   (vDSP_Length)K);
        const float *v = V + (size_t)r0 * frames;
        for (size_t i = 0; i < (size_t)nr * (size_t)frames; i++)
            d += ((double)v[i] - WH[i]) * ((double)v[i] - WH[i]);
    }
    free(WH);
    return d;
}

double kve_cost(int cost, const float *V, const double *W, const double *H, int rows, int frames,
                int K)
{
    return cost == KVE_EUCLIDEAN ? kve_euclideanCost(V, W, H, rows, frames, K)
                                 : kve_klDivergence(V, W, H, rows, frames, K);
}

double kve_costEstimate(int cost, const float *V, const double *W, const double *H, int rows,
                        int frames, int K)
{
    return cost == KVE_EUCLIDEAN ? kve_euclideanCost(V, W, H, rows, frames, K)
                                 : kve_klEstimate(V, W, H, rows, frames, K);
}
