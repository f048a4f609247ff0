/* Euclidean multiplicative updates through the K x K Gram matrices, one
 * whole-matrix vector call per step; nothing of the size of V is formed. */
#include "qm_matrixOps.h"
#include "nmf_internal.h"
#include "scratch.h"

#include <stdlib.h>

int qm_euclIterate(const double *V, int F, int T, int K, int iter, double *W, double *H)
{
    if (qm_nothingToIterate(F, T, K, iter))
        return 0;

    size_t nF = (size_t)F, nT = (size_t)T, nK = (size_t)K;
    size_t nFK = nF * nK, nKT = nK * nT, nKK = nK * nK;
    size_t total = 0;
    int ok =
        qm_addCount(&total, 3 * nFK) && qm_addCount(&total, 3 * nKT) && qm_addCount(&total, nKK);
    double *block = ok ? qm_allocDoubles(total) : NULL;
    if (!block)
        return -1;

    double *Wt = block;        /* K x F */
    double *Ht = Wt + nFK;     /* T x K */
    double *Wnum = Ht + nKT;   /* F x K */
    double *Wfac = Wnum + nFK; /* F x K */
    double *Hnum = Wfac + nFK; /* K x T */
    double *Hfac = Hnum + nKT; /* K x T */
    double *G = Hfac + nKT;    /* K x K */

    const double eps = QM_EPS;
    for (int i = 0; i < iter; i++) {
        /* H <- H .* (W' V) ./ ((W' W) H + eps) */
        vDSP_mtransD(W, 1, Wt, 1, nK, nF);
        vDSP_mmulD(Wt, 1, V, 1, Hnum, 1, nK, nT, nF);
        vDSP_mmulD(Wt, 1, W, 1, G, 1, nK, nK, nF);
        vDSP_mmulD(G, 1, H, 1, Hfac, 1, nK, nT, nK);
        vDSP_vsaddD(Hfac, 1, &eps, Hfac, 1, nKT);
        vDSP_vdivD(Hfac, 1, Hnum, 1, Hfac, 1, nKT);
        vDSP_vmulD(H, 1, Hfac, 1, H, 1, nKT);

        /* W <- W .* (V H') ./ (W (H H') + eps), with the new H */
        vDSP_mtransD(H, 1, Ht, 1, nT, nK);
        vDSP_mmulD(V, 1, Ht, 1, Wnum, 1, nF, nK, nT);
        vDSP_mmulD(H, 1, Ht, 1, G, 1, nK, nK, nT);
        vDSP_mmulD(W, 1, G, 1, Wfac, 1, nF, nK, nK);
        vDSP_vsaddD(Wfac, 1, &eps, Wfac, 1, nFK);
        vDSP_vdivD(Wfac, 1, Wnum, 1, Wfac, 1, nFK);
        vDSP_vmulD(W, 1, Wfac, 1, W, 1, nFK);

        qm_reportProgress(i + 1, iter);
    }

    free(block);
    return 0;
}
