#include "qm_matrixOps.h"
#include "nmf_internal.h"

int qm_euclNMF(const double *V, int F, int T, int K, int iter, double *W, double *H)
{
    qm_initNMF(F, T, K, W, H);
    if (qm_euclIterateFast(V, F, T, K, iter, W, H) != 0
        || qm_orderComponents(W, H, F, T, K) != 0) {
        qm_zeroFactors(W, H, F, T, K);
        return -1;
    }
    return 0;
}
