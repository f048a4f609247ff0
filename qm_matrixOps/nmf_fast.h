/* The blocked update loops behind qm_klIterateFast and qm_euclIterateFast. */
#ifndef QM_NMF_FAST_H
#define QM_NMF_FAST_H

/* iter rounds of the Kullback-Leibler (eucl = 0) or Euclidean (eucl = 1)
 * updates of W and H in place, as qm_klIterate and qm_euclIterate make
 * them up to the order of the sums; no F x T scratch. Return 0, or -1 when
 * scratch could not be had (W, H untouched). */
int qm_fastIterate(int eucl, const double *V, int F, int T, int K, int iter, double *W,
                   double *H);

#endif
