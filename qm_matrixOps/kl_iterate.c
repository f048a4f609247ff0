/* Kullback-Leibler multiplicative updates, one whole-matrix vector call per
 * step. The all-ones products W'1 and 1H' are formed from column sums of W
 * and row sums of H, spread over their matrices by a product with a ones
 * vector (one factor per element, so the spread is exact). */
#include "qm_matrixOps.h"
#include "nmf_internal.h"
#include "scratch.h"

#include <stdlib.h>

/* Q = V ./ (W H + eps), formed as the reciprocal first, then times V. */
static void kl_quotient(const double *V, const double *W, const double *H, size_t F, size_t T,
                        size_t K, const double *ones, double *Q)
{
    const double eps = QM_EPS;
    size_t nFT = F * T;
    vDSP_mmulD(W, 1, H, 1, Q, 1, F, T, K);
    vDSP_vsaddD(Q, 1, &eps, Q, 1, nFT);
    for (size_t f = 0; f < F; f++)
        vDSP_vdivD(Q + f * T, 1, ones, 1, Q + f * T, 1, T);
    vDSP_vmulD(Q, 1, V, 1, Q, 1, nFT);
}

int qm_klIterate(const double *V, int F, int T, int K, int iter, double *W, double *H)
{
    if (qm_nothingToIterate(F, T, K, iter))
        return 0;

    size_t nF = (size_t)F, nT = (size_t)T, nK = (size_t)K;
    size_t nFK = nF * nK, nKT = nK * nT, nFT = nF * nT;
    size_t nOnes = nF > nT ? nF : nT;
    size_t total = 0;
    int ok = qm_addCount(&total, 3 * nFK) && qm_addCount(&total, 3 * nKT)
             && qm_addCount(&total, nFT) && qm_addCount(&total, nOnes) && qm_addCount(&total, nK);
    double *block = ok ? qm_allocDoubles(total) : NULL;
    if (!block)
        return -1;

    double *Wt = block;          /* K x F */
    double *Ht = Wt + nFK;       /* T x K */
    double *Wnum = Ht + nKT;     /* F x K */
    double *Wfac = Wnum + nFK;   /* F x K */
    double *Hnum = Wfac + nFK;   /* K x T */
    double *Hfac = Hnum + nKT;   /* K x T */
    double *Q = Hfac + nKT;      /* F x T */
    double *ones = Q + nFT;      /* max(F, T) */
    double *sums = ones + nOnes; /* K */

    const double one = 1.0, eps = QM_EPS;
    vDSP_vfillD(&one, ones, 1, nOnes);

    for (int i = 0; i < iter; i++) {
        /* H <- H .* (W' Q) ./ (W' 1 + eps) */
        kl_quotient(V, W, H, nF, nT, nK, ones, Q);
        vDSP_mtransD(W, 1, Wt, 1, nK, nF);
        vDSP_mmulD(Wt, 1, Q, 1, Hnum, 1, nK, nT, nF);
        for (size_t k = 0; k < nK; k++)
            vDSP_sveD(Wt + k * nF, 1, &sums[k], nF);
        vDSP_mmulD(sums, 1, ones, 1, Hfac, 1, nK, nT, 1);
        vDSP_vsaddD(Hfac, 1, &eps, Hfac, 1, nKT);
        vDSP_vdivD(Hfac, 1, Hnum, 1, Hfac, 1, nKT);
        vDSP_vmulD(H, 1, Hfac, 1, H, 1, nKT);

        /* W <- W .* (Q H') ./ (1 H' + eps), with the new H */
        kl_quotient(V, W, H, nF, nT, nK, ones, Q);
        vDSP_mtransD(H, 1, Ht, 1, nT, nK);
        vDSP_mmulD(Q, 1, Ht, 1, Wnum, 1, nF, nK, nT);
        for (size_t k = 0; k < nK; k++)
            vDSP_sveD(H + k * nT, 1, &sums[k], nT);
        vDSP_mmulD(ones, 1, sums, 1, Wfac, 1, nF, nK, 1);
        vDSP_vsaddD(Wfac, 1, &eps, Wfac, 1, nFK);
        vDSP_vdivD(Wfac, 1, Wnum, 1, Wfac, 1, nFK);
        vDSP_vmulD(W, 1, Wfac, 1, W, 1, nFK);

        qm_reportProgress(i + 1, iter);
    }

    free(block);
    return 0;
}
