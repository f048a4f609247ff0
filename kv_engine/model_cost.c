/* The β-divergence and the model's estimate. */
#include <float.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "model_internal.h"

/* d_beta(x | y), x from V and y from the approximation. x is floored at eps
 * where a zero would make it infinite (beta <= 0), y at eps where small
 * values overflow (beta < 1), else at 1e-300 as the Kullback-Leibler cost. */
static double kve_betaCell(double beta, double x, double y)
{
    if (beta <= 0.0 && x < DBL_EPSILON) x = DBL_EPSILON;
    const double lo = beta < 1.0 ? DBL_EPSILON : 1e-300;
    if (!(y > lo)) y = lo;
    if (beta == 1.0) return x > 0 ? x * log(x / y) - x + y : y;
    if (beta == 0.0) return x / y - log(x / y) - 1.0;
    if (beta == 2.0) return 0.5 * (x - y) * (x - y);
    const double yb1 = pow(y, beta - 1.0);
    return (pow(x, beta) + (beta - 1.0) * yb1 * y - beta * x * yb1) / (beta * (beta - 1.0));
}

/* the divergence over the rows and the frames 0, step, 2 step, ..; the
 * approximation made a row at a time */
static double kve_betaOver(double beta, const float *V, const double *W, const double *H, int rows,
                           int frames, int K, int span, int step)
{
    const size_t n = ((size_t)frames + (size_t)step - 1) / (size_t)step, s = (size_t)step;
    double *lam = malloc(n * sizeof *lam + 1);
    if (!lam) return NAN;
    double d = 0.0;
    for (int r = 0; r < rows; r++) {
        memset(lam, 0, n * sizeof *lam);
        for (int l = 0; l < span; l++) {
            const double *w = W + ((size_t)l * rows + r) * K;
            const size_t i0 = ((size_t)l + s - 1) / s;
            for (int k = 0; k < K; k++) {
                const double wk = w[k];
                const double *h = H + (size_t)k * frames;
                if (s == 1)
                    for (size_t i = i0; i < n; i++) lam[i] += wk * h[i - (size_t)l];
                else
                    for (size_t i = i0; i < n; i++) lam[i] += wk * h[i * s - (size_t)l];
            }
        }
        const float *v = V + (size_t)r * frames;
        for (size_t i = 0; i < n; i++) d += kve_betaCell(beta, v[i * s], lam[i]);
    }
    free(lam);
    return d;
}

double kve_betaDivergence(double beta, const float *V, const double *W, const double *H, int rows,
                          int frames, int K, int span)
{
    return kve_betaOver(beta, V, W, H, rows, frames, K, span < 1 ? 1 : span, 1);
}

double kve_modelEstimate(const kve_model *m, const float *V, const double *W, const double *H,
                         int rows, int frames, int K)
{
    const double d = kve_betaOver(m->beta, V, W, H, rows, frames, K, m->span < 1 ? 1 : m->span,
                                  kve_checkStep(rows, frames));
    return d + kve_penaltyCost(m, W, H, rows, frames, K);
}
