/* The components by descending activation energy, and the zeroed result of
 * a failed factorisation. */
#include "qm_matrixOps.h"
#include "nmf_internal.h"
#include "scratch.h"

#include <stdlib.h>
#include <string.h>

/* Rows of H are contiguous, so energies and row moves need no row copy;
 * the only scratch is the energy and index vectors. */
int qm_sortByHRowEnergy(const double *W, const double *H, int F, int T, int K, double *sW,
                        double *sH)
{
    if (K <= 0)
        return 0;
    size_t nK = (size_t)K;
    double *energy = qm_allocDoubles(nK);
    vDSP_Length *index = malloc(nK * sizeof *index);
    if (!energy || !index) {
        free(energy);
        free(index);
        return -1;
    }

    size_t nT = T > 0 ? (size_t)T : 0;
    for (size_t k = 0; k < nK; k++) {
        energy[k] = 0.0;
        if (nT)
            vDSP_svesqD(H + k * nT, 1, &energy[k], nT);
        index[k] = k;
    }
    /* stable and NaN lowest: equal energies keep their component order */
    vDSP_vsortiD(energy, index, NULL, nK, -1);
    free(energy);

    for (size_t i = 0; i < nK; i++) {
        qm_getRow(H, T, index[i], sH + i * nT);
        for (int f = 0; f < F; f++)
            sW[(size_t)f * nK + i] = W[(size_t)f * nK + index[i]];
    }
    free(index);
    return 0;
}

int qm_orderComponents(double *W, double *H, int F, int T, int K)
{
    size_t nFK = qm_count(F, K), nKT = qm_count(K, T);
    size_t total = 0;
    double *sorted =
        qm_addCount(&total, nFK) && qm_addCount(&total, nKT) ? qm_allocDoubles(total) : NULL;
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
