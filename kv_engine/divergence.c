/* The cost the command line's factorisation reports and stops on. */
#include <cblas.h>
#include <math.h>
#include <stdlib.h>

#include "kv_start.h"

enum { KVE_BLOCK_ROWS = 16 };

double kve_klDivergence(const double *V, const double *W, const double *H, int rows, int frames,
                        int K)
{
    double *WH = malloc((size_t)KVE_BLOCK_ROWS * (size_t)frames * sizeof *WH);
    if (!WH) return NAN;
    double d = 0.0;
    for (int r0 = 0; r0 < rows; r0 += KVE_BLOCK_ROWS) {
        int n = rows - r0 < KVE_BLOCK_ROWS ? rows - r0 : KVE_BLOCK_ROWS;
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, frames, K, 1.0,
                    W + (size_t)r0 * K, K, H, frames, 0.0, WH, frames);
        const double *v = V + (size_t)r0 * frames;
        for (size_t i = 0; i < (size_t)n * (size_t)frames; i++) {
            double m = WH[i] > 1e-300 ? WH[i] : 1e-300;
            d += v[i] > 0 ? v[i] * log(v[i] / m) - v[i] + m : m;
        }
    }
    free(WH);
    return d;
}
