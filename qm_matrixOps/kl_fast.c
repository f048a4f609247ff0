#include "nmf_fast.h"
#include "nmf_internal.h"

int qm_klIterateFast(const double *V, int F, int T, int K, int iter, double *W, double *H)
{
    return qm_fastIterate(0, V, F, T, K, iter, W, H, NULL, NULL);
}
