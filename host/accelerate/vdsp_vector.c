/* Element-wise arithmetic and reductions. Unit strides take a plain loop the
 * compiler vectorises; other strides the general one. */
#include <Accelerate/Accelerate.h>

#include <math.h>
#include <stddef.h>

#define AT(p, i, s) (p)[(ptrdiff_t)(i) * (s)]

#define BINARY(name, expr)                                                                                             \
    void name(const double *x, vDSP_Stride ix, const double *y, vDSP_Stride iy, double *c, vDSP_Stride ic,             \
              vDSP_Length n) {                                                                                         \
        if (ix == 1 && iy == 1 && ic == 1) {                                                                           \
            for (vDSP_Length k = 0; k < n; k++) {                                                                      \
                double X = x[k], Y = y[k];                                                                             \
                c[k] = (expr);                                                                                         \
            }                                                                                                          \
            return;                                                                                                    \
        }                                                                                                              \
        for (vDSP_Length k = 0; k < n; k++) {                                                                          \
            double X = AT(x, k, ix), Y = AT(y, k, iy);                                                                 \
            AT(c, k, ic) = (expr);                                                                                     \
        }                                                                                                              \
    }

/* X is the first argument, Y the second: subtraction and division take the
 * subtrahend and the divisor first. */
BINARY(vDSP_vaddD, X + Y)
BINARY(vDSP_vsubD, Y - X)
BINARY(vDSP_vmulD, X *Y)
BINARY(vDSP_vdivD, Y / X)
BINARY(vDSP_vdistD, sqrt(X *X + Y * Y))

#define SCALAR(name, expr)                                                                                             \
    void name(const double *x, vDSP_Stride ix, const double *sp, double *c, vDSP_Stride ic, vDSP_Length n) {           \
        const double S = *sp;                                                                                          \
        if (ix == 1 && ic == 1) {                                                                                      \
            for (vDSP_Length k = 0; k < n; k++) {                                                                      \
                double X = x[k];                                                                                       \
                c[k] = (expr);                                                                                         \
            }                                                                                                          \
            return;                                                                                                    \
        }                                                                                                              \
        for (vDSP_Length k = 0; k < n; k++) {                                                                          \
            double X = AT(x, k, ix);                                                                                   \
            AT(c, k, ic) = (expr);                                                                                     \
        }                                                                                                              \
    }

SCALAR(vDSP_vsaddD, X + S)
SCALAR(vDSP_vsmulD, X *S)
SCALAR(vDSP_vsdivD, X / S)

void vDSP_vfillD(const double *a, double *c, vDSP_Stride ic, vDSP_Length n) {
    const double v = *a;
    for (vDSP_Length k = 0; k < n; k++) AT(c, k, ic) = v;
}

void vDSP_vclrD(double *c, vDSP_Stride ic, vDSP_Length n) {
    for (vDSP_Length k = 0; k < n; k++) AT(c, k, ic) = 0.0;
}

void vDSP_vrampD(const double *a, const double *b, double *c, vDSP_Stride ic, vDSP_Length n) {
    const double start = *a, step = *b;
    for (vDSP_Length k = 0; k < n; k++) AT(c, k, ic) = start + (double)k * step;
}

/* NaN values are passed over by the maxima. */
void vDSP_maxvD(const double *a, vDSP_Stride ia, double *c, vDSP_Length n) {
    double m = -INFINITY;
    for (vDSP_Length k = 0; k < n; k++) {
        double v = AT(a, k, ia);
        if (v > m) m = v;
    }
    *c = m;
}

void vDSP_maxmgvD(const double *a, vDSP_Stride ia, double *c, vDSP_Length n) {
    double m = 0.0;
    for (vDSP_Length k = 0; k < n; k++) {
        double v = fabs(AT(a, k, ia));
        if (v > m) m = v;
    }
    *c = m;
}

void vDSP_sveD(const double *a, vDSP_Stride ia, double *c, vDSP_Length n) {
    double s = 0.0;
    for (vDSP_Length k = 0; k < n; k++) s += AT(a, k, ia);
    *c = s;
}

/* the mean of no values is 0/0 */
void vDSP_meanvD(const double *a, vDSP_Stride ia, double *c, vDSP_Length n) {
    double s;
    vDSP_sveD(a, ia, &s, n);
    *c = s / (double)n;
}

void vDSP_svesqD(const double *a, vDSP_Stride ia, double *c, vDSP_Length n) {
    double s = 0.0;
    for (vDSP_Length k = 0; k < n; k++) {
        double v = AT(a, k, ia);
        s += v * v;
    }
    *c = s;
}
