/* Row-major matrix helpers and non-negative matrix factorisation.
 * A matrix of m rows and n columns is m*n doubles, element (i, j) at i*n + j.
 * Callers allocate every output; scratch is taken and given back per call. */
#ifndef QM_MATRIXOPS_H
#define QM_MATRIXOPS_H

#include <Accelerate/Accelerate.h>

#ifdef __cplusplus
extern "C" {
#endif

/* rand() / QM_RAND_SCALE lies in [0, 1] */
#ifndef QM_RAND_SCALE
#define QM_RAND_SCALE 2147483647.0
#endif

/* dst[j] = A[r*n + j], j < n */
void qm_getRow(const double *A, int n, vDSP_Length r, double *dst);
/* A[r*n + j] = src[j], j < n; nothing else changes */
void qm_putRow(double *A, int n, vDSP_Length r, const double *src);
/* dst[i] = A[i*n + j], i < m */
void qm_getCol(const double *A, int m, int n, vDSP_Length j, double *dst);
/* A[i*n + j] = src[i], i < m; nothing else changes */
void qm_putCol(double *A, int m, int n, vDSP_Length j, const double *src);
/* dst (mA x nB) = column colA of A (mA x nA) times row rowB of B (. x nB) */
void qm_colRowOuterProd(const double *A, const double *B, int mA, int nA, int nB, vDSP_Length colA,
                        vDSP_Length rowB, double *dst);
/* k = row*cols + col; with cols <= 0 both results are left untouched */
void qm_ind2sub(int rows, int cols, int k, int *row, int *col);
/* prints rows x cols elements ("%.16f ", ";\n" per row) to stdout */
void qm_printMatrix(const double *A, int rows, int cols, int stride);
/* Euclidean distance of two vectors of n doubles */
double qm_euclDist(const double *a, const double *b, int n);
/* dst (n entries) = random permutation of 0..n-1; draws n-1 values of rand() */
void qm_randperm(int n, vDSP_Length *dst);

/* W (F x K) then H (K x T) = rand()/2147483647.0 in storage order */
void qm_initNMF(int F, int T, int K, double *W, double *H);
/* sW, sH = components of W, H by descending sum of squares of H's rows
 * (stable; NaN lowest). Returns 0, or -1 when scratch could not be had
 * (outputs untouched). */
int qm_sortByHRowEnergy(const double *W, const double *H, int F, int T, int K, double *sW,
                        double *sH);

/* V (F x T, non-negative, unchanged) ~ W (F x K) . H (K x T) after iter
 * multiplicative updates from a random start; components ordered by
 * descending activation energy. Return 0, or -1 when scratch could not be
 * had (W and H zeroed). */
int qm_euclNMF(const double *V, int F, int T, int K, int iter, double *W, double *H);
int qm_klNMF(const double *V, int F, int T, int K, int iter, double *W, double *H);

/* Called after each round with done = 1..total; non-zero asks to stop. */
typedef int (*qm_iterationFn)(int done, int total, void *user);
/* iter rounds of the Kullback-Leibler (eucl = 0) or Euclidean (eucl = 1)
 * updates from the given W (F x K) and H (K x T), as qm_klNMF and qm_euclNMF
 * make them after their random start, components then ordered by descending
 * activation energy. fn (may be NULL) hears of each round, as does the
 * process-wide hook. Return 0; 1 when fn asked to stop; -1 when scratch
 * could not be had. W and H hold a result only when 0 is returned. */
int qm_NMFFrom(int eucl, const double *V, int F, int T, int K, int iter, double *W, double *H,
               qm_iterationFn fn, void *user);

/* The same rounds on V stored as floats (half the memory and traffic; each
 * value is widened to a double as it is read). The components keep their
 * order, so n calls of r rounds give the bits of one call of n r rounds.
 * Return as qm_NMFFrom. */
int qm_NMFFromFloat(int eucl, const float *V, int F, int T, int K, int iter, double *W, double *H,
                    qm_iterationFn fn, void *user);
/* The same with columns [0, fixedK) of W held fixed bit for bit and the
 * others updated (fixedK >= K: only H is learned). */
int qm_NMFFromFixed(int eucl, const float *V, int F, int T, int K, int fixedK, int iter, double *W,
                    double *H, qm_iterationFn fn, void *user);

/* Optional process-wide report after each NMF iteration (unset by default);
 * it changes no result. done runs 1..total. */
typedef void (*qm_progressHook)(int done, int total, void *user);
void qm_setProgressHook(qm_progressHook hook, void *user);

#ifdef __cplusplus
}
#endif

#endif
