/* The blocked update loops behind qm_klIterateFast and qm_euclIterateFast. */
#ifndef QM_NMF_FAST_H
#define QM_NMF_FAST_H

#include <stddef.h>

#include "qm_matrixOps.h"

/* iter rounds of the Kullback-Leibler (eucl = 0) or Euclidean (eucl = 1)
 * updates of W and H in place, as qm_klIterate and qm_euclIterate make
 * them up to the order of the sums; no F x T scratch. After each round the
 * process-wide hook and fn (if not NULL) hear of it. Return 0; 1 when fn
 * asked to stop (W, H part-way); -1 when scratch could not be had (W, H
 * untouched). */
int qm_fastIterate(int eucl, const double *V, int F, int T, int K, int iter, double *W, double *H,
                   qm_iterationFn fn, void *user);

/* The same rounds with V stored as floats, each value widened to a double as
 * it is read; the arithmetic otherwise as above. Columns [0, fixedK) of W are
 * left as given, bit for bit (the others updated as above); with fixedK >= K
 * only H is updated. */
int qm_fastIterateFloat(int eucl, const float *V, int F, int T, int K, int fixedK, int iter,
                        double *W, double *H, qm_iterationFn fn, void *user);

#endif
