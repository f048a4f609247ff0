/* Row-major matrix product, transpose and move. */
#include <Accelerate/Accelerate.h>

#include <cblas.h>
#include <limits.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

void vDSP_mmulD(const double *a, vDSP_Stride ia, const double *b, vDSP_Stride ib, double *c, vDSP_Stride ic,
                vDSP_Length m, vDSP_Length n, vDSP_Length p) {
    if (m == 0 || n == 0) return;
    if (p == 0) {
        for (size_t i = 0; i < (size_t)m * n; i++) c[(ptrdiff_t)i * ic] = 0.0;
        return;
    }
    if (ia == 1 && ib == 1 && ic == 1 && m <= INT_MAX && n <= INT_MAX && p <= INT_MAX) {
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, (int)m, (int)n, (int)p, 1.0, a, (int)p, b, (int)n, 0.0,
                    c, (int)n);
        return;
    }
    for (size_t i = 0; i < m; i++)
        for (size_t j = 0; j < n; j++) {
            double s = 0.0;
            for (size_t k = 0; k < p; k++) s += a[(ptrdiff_t)(i * p + k) * ia] * b[(ptrdiff_t)(k * n + j) * ib];
            c[(ptrdiff_t)(i * n + j) * ic] = s;
        }
}

/* Blocked so that both sides stay in cache for large matrices. */
static void transpose_unit(const double *a, double *c, size_t m, size_t n) {
    enum { B = 32 };
    for (size_t i0 = 0; i0 < m; i0 += B) {
        size_t i1 = i0 + B < m ? i0 + B : m;
        for (size_t j0 = 0; j0 < n; j0 += B) {
            size_t j1 = j0 + B < n ? j0 + B : n;
            for (size_t i = i0; i < i1; i++)
                for (size_t j = j0; j < j1; j++) c[i * n + j] = a[j * m + i];
        }
    }
}

void vDSP_mtransD(const double *a, vDSP_Stride ia, double *c, vDSP_Stride ic, vDSP_Length m, vDSP_Length n) {
    if (m == 0 || n == 0) return;
    if (ia == 1 && ic == 1) {
        if (a != c) {
            transpose_unit(a, c, m, n);
            return;
        }
        if (m == n) {
            for (size_t i = 0; i < m; i++)
                for (size_t j = i + 1; j < n; j++) {
                    double t = c[i * n + j];
                    c[i * n + j] = c[j * n + i];
                    c[j * n + i] = t;
                }
            return;
        }
        /* in place and not square: go through a copy */
        double *t = malloc((size_t)m * n * sizeof(double));
        if (!t) return;
        memcpy(t, a, (size_t)m * n * sizeof(double));
        transpose_unit(t, c, m, n);
        free(t);
        return;
    }
    for (size_t i = 0; i < m; i++)
        for (size_t j = 0; j < n; j++) c[(ptrdiff_t)(i * n + j) * ic] = a[(ptrdiff_t)(j * m + i) * ia];
}

void vDSP_mmovD(const double *a, double *c, vDSP_Length m, vDSP_Length n, vDSP_Length ta, vDSP_Length tc) {
    if (m == 0 || a == c) return;
    for (size_t r = 0; r < n; r++) memmove(c + r * tc, a + r * ta, m * sizeof(double));
}
