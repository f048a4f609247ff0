/* Internal to the factorisation: the iteration loops and the progress report. */
#ifndef QM_NMF_INTERNAL_H
#define QM_NMF_INTERNAL_H

#include "qm_matrixOps.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QM_EPS 2.220446049250313e-16

/* Calls the process-wide progress hook, if one is set. */
void qm_reportProgress(int done, int total);
/* True when there is nothing to update (no rounds, or an empty shape); the
 * rounds of an empty shape are still reported. */
int qm_nothingToIterate(int F, int T, int K, int iter);
/* The same, the rounds of an empty shape also reported to fn (may be NULL);
 * *stopped is 1 when fn asked to stop. */
int qm_nothingToDo(int F, int T, int K, int iter, qm_iterationFn fn, void *user, int *stopped);

/* iter update rounds of W (F x K) and H (K x T) in place from their current
 * values; H before W, the new H used for W. Report progress after each
 * round. Return 0, or -1 when scratch could not be had (W, H untouched). */
int qm_klIterate(const double *V, int F, int T, int K, int iter, double *W, double *H);
int qm_euclIterate(const double *V, int F, int T, int K, int iter, double *W, double *H);
/* The same rounds, blocked over frames and rows, without any F x T scratch
 * and threaded; equal to the plain loops up to the order of the sums. */
int qm_klIterateFast(const double *V, int F, int T, int K, int iter, double *W, double *H);
int qm_euclIterateFast(const double *V, int F, int T, int K, int iter, double *W, double *H);

/* Reorders the components of W and H in place by descending activation
 * energy (qm_sortByHRowEnergy, then copy back). Return 0, or -1 when scratch
 * could not be had (W, H untouched). */
int qm_orderComponents(double *W, double *H, int F, int T, int K);
/* Sets every element of W (F x K) and H (K x T) to 0. */
void qm_zeroFactors(double *W, double *H, int F, int T, int K);

#ifdef __cplusplus
}
#endif

#endif
