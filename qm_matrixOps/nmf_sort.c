#include "qm_matrixOps.h"
#include "scratch.h"

#include <stdlib.h>

/* Rows of H are contiguous, so energies and row moves need no row copy;
 * the only scratch is the energy and index vectors. */
int qm_sortByHRowEnergy(const double *W, const double *H, int F, int T, int K,
                        double *sW, double *sH)
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
