/* The costs the streamed factorisation reports and stops on. */
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "model_internal.h"

enum { KVE_BLOCK_ROWS = KVE_COST_ROWS };
/* cells the estimate reads at most: a few milliseconds */
#define KVE_CHECK_CELLS (1 << 20)

/* Blocks of KVE_BLOCK_ROWS rows: W H of a block (one product, as on one
 * thread, one thread at a time) and its cells' terms in a slot of scratch,
 * made by any thread, then the terms added to the sum a block at a time in
 * the rows' order, so that the sum is the same on any number of threads. */
typedef struct {
    const float *V;
    const double *W, *H; /* H: the sampled frames' activations, n apart */
    int rows, frames, K, eucl;
    size_t n, step; /* frames read and the step between them */
    double *terms;  /* a slot: KVE_BLOCK_ROWS x n */
    double sum;
} kve_costJob;

/* cells under which a second thread costs more than it saves */
#define KVE_THREAD_CELLS ((size_t)1 << 16)

static void kve_costTerms(void *job, int slot, int b)
{
    kve_costJob *j = job;
    const int r0 = b * KVE_BLOCK_ROWS;
    const int nr = j->rows - r0 < KVE_BLOCK_ROWS ? j->rows - r0 : KVE_BLOCK_ROWS;
    const size_t n = j->n, step = j->step;
    double *t = j->terms + (size_t)slot * KVE_BLOCK_ROWS * n;
    kve_blasBegin();
    vDSP_mmulD(j->W + (size_t)r0 * j->K, 1, j->H, 1, t, 1, (vDSP_Length)nr, (vDSP_Length)n,
               (vDSP_Length)j->K);
    kve_blasEnd();
    for (int r = 0; r < nr; r++) {
        const float *v = j->V + (size_t)(r0 + r) * j->frames;
        double *m = t + (size_t)r * n;
        if (j->eucl)
            for (size_t i = 0; i < n; i++) m[i] = ((double)v[i] - m[i]) * ((double)v[i] - m[i]);
        else
            for (size_t i = 0; i < n; i++) {
                double x = v[i * step], y = m[i] > 1e-300 ? m[i] : 1e-300;
                m[i] = x > 0 ? x * log(x / y) - x + y : y;
            }
    }
}

static void kve_costAdd(void *job, int slot, int b)
{
    kve_costJob *j = job;
    const int r0 = b * KVE_BLOCK_ROWS;
    const int nr = j->rows - r0 < KVE_BLOCK_ROWS ? j->rows - r0 : KVE_BLOCK_ROWS;
    const double *t = j->terms + (size_t)slot * KVE_BLOCK_ROWS * j->n;
    double d = j->sum;
    for (size_t i = 0; i < (size_t)nr * j->n; i++) d += t[i];
    j->sum = d;
}

/* the Kullback-Leibler divergence over the rows and the frames 0, step, 2
 * step, .., or the Euclidean cost over every frame (step 1) */
static double kve_costOver(int eucl, const float *V, const double *W, const double *H, int rows,
                           int frames, int K, int step)
{
    const size_t n = ((size_t)frames + (size_t)step - 1) / (size_t)step;
    const int blocks = (rows + KVE_BLOCK_ROWS - 1) / KVE_BLOCK_ROWS;
    int nth = (size_t)rows * n >= KVE_THREAD_CELLS ? kve_teamMost() : 1;
    if (nth > blocks) nth = blocks;
    const int slots = nth > 1 ? nth + 1 : 1; /* one being added while each thread makes one */
    const size_t block = (size_t)KVE_BLOCK_ROWS * n;
    double *terms =
        malloc(((size_t)slots * block + (step > 1 ? (size_t)K * n : 0)) * sizeof *terms + 1);
    if (!terms) return NAN;
    const double *Hs = H;
    if (step > 1) { /* the sampled frames' activations, side by side */
        double *h = terms + (size_t)slots * block;
        for (int k = 0; k < K; k++)
            for (size_t i = 0; i < n; i++)
                h[(size_t)k * n + i] = H[(size_t)k * frames + i * (size_t)step];
        Hs = h;
    }
    kve_costJob j = {V, W, Hs, rows, frames, K, eucl, n, (size_t)step, terms, 0.0};
    kve_teamOrdered(nth, slots, blocks, kve_costTerms, kve_costAdd, &j);
    free(terms);
    return j.sum;
}

double kve_klDivergence(const float *V, const double *W, const double *H, int rows, int frames,
                        int K)
{
    return kve_costOver(0, V, W, H, rows, frames, K, 1);
}

int kve_checkStep(int rows, int frames)
{
    const double cells = (double)(rows > 0 ? rows : 1) * (double)(frames > 0 ? frames : 1);
    const double step = ceil(cells / KVE_CHECK_CELLS);
    return step < (double)frames ? (int)step : frames > 1 ? frames : 1;
}

double kve_klEstimate(const float *V, const double *W, const double *H, int rows, int frames, int K)
{
    return kve_costOver(0, V, W, H, rows, frames, K, kve_checkStep(rows, frames));
}

double kve_euclideanCost(const float *V, const double *W, const double *H, int rows, int frames,
                         int K)
{
    return kve_costOver(1, V, W, H, rows, frames, K, 1);
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
