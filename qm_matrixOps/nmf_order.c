#include "qm_matrixOps.h"
#include "nmf_internal.h"
#include "scratch.h"

#include <stdlib.h>
#include <string.h>

int qm_orderComponents(double *W, double *H, int F, int T, int K)
{
    size_t nFK = qm_count(F, K), nKT = qm_count(K, T);
    size_t total = 0;
    double *sorted = qm_addCount(&total, nFK) && qm_addCount(&total, nKT)
                   ? qm_allocDoubles(total) : NULL;
    if (!sorted)
        return -1;
    double *sW = sorted, *sH = sorted + nFK;
    if (qm_sortByHRowEnergy(W, H, F, T, K, sW, sH) != 0) {
        free(sorted);
        return -1;
    }
    if (nFK)
        vDSP_mmovD(sW, W, (vDSP_Length)K, (vDSP_Length)F, (vDSP_Length)K, (vDSP_Length)K);
    if (nKT)
        vDSP_mmovD(sH, H, (vDSP_Length)T, (vDSP_Length)K, (vDSP_Length)T, (vDSP_Length)T);
    free(sorted);
    return 0;
}

void qm_zeroFactors(double *W, double *H, int F, int T, int K)
{
    size_t nFK = qm_count(F, K), nKT = qm_count(K, T);
    if (nFK)
        memset(W, 0, nFK * sizeof *W);
    if (nKT)
        memset(H, 0, nKT * sizeof *H);
}
