#include "qm_matrixOps.h"
#include "nmf_fast.h"
#include "nmf_internal.h"

int qm_NMFFrom(int eucl, const double *V, int F, int T, int K, int iter, double *W,
               double *H, qm_iterationFn fn, void *user)
{
    int rc = qm_fastIterate(eucl ? 1 : 0, V, F, T, K, iter, W, H, fn, user);
    if (rc != 0)
        return rc;
    return qm_orderComponents(W, H, F, T, K) == 0 ? 0 : -1;
}
