/* The factorisations as callers see them: the random start, the two
 * fixed-start runs and the run from a given start, over the fast loops. */
#include "qm_matrixOps.h"
#include "nmf_fast.h"
#include "nmf_internal.h"
#include "scratch.h"

#include <stdlib.h>

/* All of W, then all of H, in storage order: the draw order fixes which
 * value lands where. */
void qm_initNMF(int F, int T, int K, double *W, double *H)
{
    size_t nW = qm_count(F, K), nH = qm_count(K, T);
    for (size_t i = 0; i < nW; i++)
        W[i] = rand() / QM_RAND_SCALE;
    for (size_t i = 0; i < nH; i++)
        H[i] = rand() / QM_RAND_SCALE;
}

int qm_klIterateFast(const double *V, int F, int T, int K, int iter, double *W, double *H)
{
    return qm_fastIterate(0, V, F, T, K, iter, W, H, NULL, NULL);
}

int qm_euclIterateFast(const double *V, int F, int T, int K, int iter, double *W, double *H)
{
    return qm_fastIterate(1, V, F, T, K, iter, W, H, NULL, NULL);
}

/* The random start, then the fast rounds and the order; on failure W and H
 * are zeroed. */
static int qm_nmf(int eucl, const double *V, int F, int T, int K, int iter, double *W, double *H)
{
    qm_initNMF(F, T, K, W, H);
    if (qm_fastIterate(eucl, V, F, T, K, iter, W, H, NULL, NULL) != 0
        || qm_orderComponents(W, H, F, T, K) != 0) {
        qm_zeroFactors(W, H, F, T, K);
        return -1;
    }
    return 0;
}

int qm_klNMF(const double *V, int F, int T, int K, int iter, double *W, double *H)
{
    return qm_nmf(0, V, F, T, K, iter, W, H);
}

int qm_euclNMF(const double *V, int F, int T, int K, int iter, double *W, double *H)
{
    return qm_nmf(1, V, F, T, K, iter, W, H);
}

int qm_NMFFrom(int eucl, const double *V, int F, int T, int K, int iter, double *W, double *H,
               qm_iterationFn fn, void *user)
{
    int rc = qm_fastIterate(eucl ? 1 : 0, V, F, T, K, iter, W, H, fn, user);
    if (rc != 0)
        return rc;
    return qm_orderComponents(W, H, F, T, K) == 0 ? 0 : -1;
}

int qm_NMFFromFloat(int eucl, const float *V, int F, int T, int K, int iter, double *W, double *H,
                    qm_iterationFn fn, void *user)
{
    return qm_fastIterateFloat(eucl ? 1 : 0, V, F, T, K, 0, iter, W, H, fn, user);
}

int qm_NMFFromFixed(int eucl, const float *V, int F, int T, int K, int fixedK, int iter, double *W,
                    double *H, qm_iterationFn fn, void *user)
{
    return qm_fastIterateFloat(eucl ? 1 : 0, V, F, T, K, fixedK, iter, W, H, fn, user);
}
