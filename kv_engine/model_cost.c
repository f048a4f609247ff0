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

/* the cells in vectors, with the C library's vector log and power */
/* GCC's target pragma; clang (the fuzz build) takes the scalar cells */
#if defined(KV_HAVE_MVEC) && defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define KC_VECTORS 1
#include <immintrin.h>
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx2,fma")
#define KC_VW 8
#define KC_SUFFIX _avx512
#define KC_VLOG _ZGVeN8v_log
#define KC_VPOW _ZGVeN8vv_pow
#define KC_VSQRT(x) ((kc_vec_avx512)_mm512_sqrt_pd((__m512d)(x)))
#include "model_cost_kern.h"
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#define KC_VW 4
#define KC_SUFFIX _avx2
#define KC_VLOG _ZGVdN4v_log
#define KC_VPOW _ZGVdN4vv_pow
#define KC_VSQRT(x) ((kc_vec_avx2)_mm256_sqrt_pd((__m256d)(x)))
#include "model_cost_kern.h"
#pragma GCC pop_options
#endif

/* y[i] = d_beta(v[i step] | y[i]) for i < n */
static void kve_betaCells(double beta, const float *v, size_t step, double *y, size_t n)
{
#ifdef KC_VECTORS
    const int level = kve_vectorLevel();
    if (level == KVE_VECTOR_AVX512) {
        kc_cells_avx512(beta, v, step, y, n);
        return;
    }
    if (level == KVE_VECTOR_AVX2) {
        kc_cells_avx2(beta, v, step, y, n);
        return;
    }
#endif
    for (size_t i = 0; i < n; i++) y[i] = kve_betaCell(beta, v[i * step], y[i]);
}

/* Blocks of rows: the approximation of each row and its cells' terms in a
 * slot of scratch, made by any thread, then the terms added to the sum in
 * the rows' order, so that the sum is the same on any number of threads. */
typedef struct {
    double beta;
    const float *V;
    const double *W, *H;
    const double *Hs; /* bases of one frame: the read frames' activations, n apart */
    int rows, frames, K, span, blockRows;
    size_t n, step; /* frames read and the step between them */
    double *terms;  /* a slot: blockRows x n */
    double sum;
} kve_betaJob;

/* cells under which a second thread costs more than it saves */
#define KVE_BETA_THREAD_CELLS ((size_t)1 << 16)

/* the approximation of rows r0 .. r1 - 1 by lags, at the read frames */
static void kve_betaLagged(const kve_betaJob *j, int r0, int r1, double *lam)
{
    const size_t n = j->n, s = j->step;
    for (int r = r0; r < r1; r++, lam += n) {
        memset(lam, 0, n * sizeof *lam);
        for (int l = 0; l < j->span; l++) {
            const double *w = j->W + ((size_t)l * j->rows + r) * j->K;
            const size_t i0 = ((size_t)l + s - 1) / s;
            for (int k = 0; k < j->K; k++) {
                const double wk = w[k];
                const double *h = j->H + (size_t)k * j->frames;
                if (s == 1)
                    for (size_t i = i0; i < n; i++) lam[i] += wk * h[i - (size_t)l];
                else
                    for (size_t i = i0; i < n; i++) lam[i] += wk * h[i * s - (size_t)l];
            }
        }
    }
}

static void kve_betaTerms(void *job, int slot, int b)
{
    const kve_betaJob *j = job;
    const size_t n = j->n;
    const int r0 = b * j->blockRows;
    const int r1 = j->rows - r0 < j->blockRows ? j->rows : r0 + j->blockRows;
    double *lam = j->terms + (size_t)slot * (size_t)j->blockRows * n;
    if (j->Hs) {
        kve_blasBegin();
        vDSP_mmulD(j->W + (size_t)r0 * j->K, 1, j->Hs, 1, lam, 1, (vDSP_Length)(r1 - r0),
                   (vDSP_Length)n, (vDSP_Length)j->K);
        kve_blasEnd();
    } else {
        kve_betaLagged(j, r0, r1, lam);
    }
    for (int r = r0; r < r1; r++, lam += n)
        kve_betaCells(j->beta, j->V + (size_t)r * j->frames, j->step, lam, n);
}

static void kve_betaAdd(void *job, int slot, int b)
{
    kve_betaJob *j = job;
    const int r0 = b * j->blockRows;
    const int nr = j->rows - r0 < j->blockRows ? j->rows - r0 : j->blockRows;
    const double *t = j->terms + (size_t)slot * (size_t)j->blockRows * j->n;
    double d = j->sum;
    for (size_t i = 0; i < (size_t)nr * j->n; i++) d += t[i];
    j->sum = d;
}

/* the divergence over the rows and the frames 0, step, 2 step, .. */
static double kve_betaOver(double beta, const float *V, const double *W, const double *H, int rows,
                           int frames, int K, int span, int step)
{
    const size_t n = ((size_t)frames + (size_t)step - 1) / (size_t)step;
    /* rows a product makes: fewer would pack the activations again for
     * each few rows, which on long sounds costs more than the product */
    const size_t br = KVE_COST_ROWS;
    const int blockRows = (int)br, blocks = rows > 0 ? (rows + blockRows - 1) / blockRows : 0;
    int nth = (size_t)rows * n >= KVE_BETA_THREAD_CELLS ? kve_teamMost() : 1;
    if (nth > blocks) nth = blocks;
    const int slots = nth > 1 ? nth + 1 : 1; /* one being added while each thread makes one */
    /* bases of one frame: the read frames' activations side by side (H
     * itself when every frame is read), for one product a block */
    const size_t hs = span == 1 && step > 1 ? (size_t)K * n : 0;
    double *terms = malloc(((size_t)slots * br * n + hs) * sizeof *terms + 1);
    if (!terms) return NAN;
    double *sampled = hs ? terms + (size_t)slots * br * n : NULL;
    for (size_t k = 0; k < (size_t)(sampled ? K : 0); k++)
        for (size_t i = 0; i < n; i++)
            sampled[k * n + i] = H[k * (size_t)frames + i * (size_t)step];
    const double *Hs = span > 1 ? NULL : sampled ? sampled : H;
    kve_betaJob j = {beta, V,    W,         H, Hs,           rows,  frames,
                     K,    span, blockRows, n, (size_t)step, terms, 0.0};
    kve_teamOrdered(nth, slots, blocks, kve_betaTerms, kve_betaAdd, &j);
    free(terms);
    return j.sum;
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
