/* The cost the command line's factorisation reports and stops on. */
#include <cblas.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "kv_start.h"

enum { KVE_BLOCK_ROWS = 16, KVE_CHECK_STEP = 16, KVE_CHECK_FRAMES = 4096 };

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
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, nr, (int)n, K, 1.0,
                    W + (size_t)r0 * K, K, Hs, (int)n, 0.0, WH, (int)n);
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

int kve_checkStep(int frames)
{
    int step = (frames + KVE_CHECK_FRAMES - 1) / KVE_CHECK_FRAMES;
    return step > KVE_CHECK_STEP ? step : KVE_CHECK_STEP;
}

double kve_klEstimate(const float *V, const double *W, const double *H, int rows, int frames, int K)
{
    return kve_divergenceOver(V, W, H, rows, frames, K, kve_checkStep(frames));
}
