/* Kernels of the β-divergence rounds, one copy per instruction set: the
 * includer defines MB_VW (doubles per vector) and MB_SUFFIX and wraps the
 * inclusion in the matching target pragma. Frames run along the lanes; V is
 * stored as floats and widened as it is read.
 *
 * Per cell, with y = sum_k W[f,k] H[k,t] + eps, the kernels form
 *   a = V y^(beta - 2)   and   b = y^(beta - 1)
 * and add a H and b H to the W sums of a row, or W a and W b to the H sums
 * of a frame (b only where it is not 1). Lanes past the last frame count
 * as zero. */

#define MB_CAT2(a, b) a##b
#define MB_CAT(a, b) MB_CAT2(a, b)
#define MB_NAME(n) MB_CAT(n, MB_SUFFIX)

typedef double MB_NAME(mb_vec) __attribute__((vector_size(MB_VW * 8)));
typedef float MB_NAME(mb_fvec) __attribute__((vector_size(MB_VW * 4)));
#define KV MB_NAME(mb_vec)
#define MB_INLINE static inline __attribute__((always_inline))

MB_INLINE KV MB_NAME(mb_load)(const double *p)
{
    KV v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

MB_INLINE void MB_NAME(mb_store)(double *p, KV v)
{
    __builtin_memcpy(p, &v, sizeof v);
}

/* n lanes of V from p, widened; the others 0 */
MB_INLINE KV MB_NAME(mb_loadV)(const float *p, size_t n)
{
    MB_NAME(mb_fvec) f = {0};
    if (n == MB_VW)
        __builtin_memcpy(&f, p, sizeof f);
    else
        for (size_t i = 0; i < n; i++) f[i] = p[i];
    return __builtin_convertvector(f, KV);
}

#define LD MB_NAME(mb_load)
#define ST MB_NAME(mb_store)

/* sum_k w[k] H[k][t..] in two chains, plus eps */
MB_INLINE KV MB_NAME(mb_approx)(const double *w, const double *H, size_t ldh, int K, size_t t,
                                double eps)
{
    KV s0 = w[0] * LD(H + t), s1 = (KV){0};
    int k = 1;
    for (; k + 1 < K; k += 2) {
        s1 += w[k] * LD(H + (size_t)k * ldh + t);
        s0 += w[k + 1] * LD(H + (size_t)(k + 1) * ldh + t);
    }
    if (k < K) s1 += w[k] * LD(H + (size_t)k * ldh + t);
    return (s0 + s1) + eps;
}

/* a and b of the cells with V x and approximation y (eps included); the
 * lanes from n on made 0 */
MB_INLINE void MB_NAME(mb_cell)(int mode, const kve_betaPar *p, KV x, KV y, size_t n, KV *a, KV *b)
{
    switch (mode) {
    case MB_IS: {
        for (int i = 0; i < MB_VW; i++) x[i] = x[i] < p->vfloor ? p->vfloor : x[i];
        const KV r = 1.0 / y;
        *b = r;
        *a = (x * r) * r;
        break;
    }
    case MB_HALF: {
        KV s;
        for (int i = 0; i < MB_VW; i++) s[i] = __builtin_sqrt(y[i]);
        const KV r = 1.0 / s;
        *b = r;
        *a = x * ((r * r) * r);
        break;
    }
    case MB_KL:
        *a = (1.0 / y) * x;
        *b = (KV){0};
        break;
    case MB_THREEHALF: {
        KV s;
        for (int i = 0; i < MB_VW; i++) s[i] = __builtin_sqrt(y[i]);
        *b = s;
        *a = x / s;
        break;
    }
    case MB_EUCL:
        *a = x;
        *b = y;
        break;
    default: {
        KV q;
        for (int i = 0; i < MB_VW; i++) {
            x[i] = x[i] < p->vfloor ? p->vfloor : x[i];
            q[i] = pow(y[i], p->beta1);
        }
        *b = q;
        *a = (x * q) / y;
        break;
    }
    }
    if (n < MB_VW)
        for (size_t i = n; i < MB_VW; i++) (*a)[i] = (*b)[i] = 0.0;
}

/* The W sums of the rows [f0, f1) over the frames [t0, t1) (multiples of
 * the width; frames from T on count as 0): an[(f - f0) K + k] += a H[k],
 * ad likewise with b, lane by lane. */
MB_INLINE void MB_NAME(mb_wpart)(int mode, const kve_betaPar *p, const float *restrict V,
                                 size_t ldv, size_t T, const double *restrict W,
                                 const double *restrict H, size_t ldh, int K, size_t f0, size_t f1,
                                 size_t t0, size_t t1, KV *restrict an, KV *restrict ad)
{
    const int den = mode != MB_KL;
    for (size_t f = f0; f < f1; f++) {
        const float *v = V + f * ldv;
        const double *w = W + f * (size_t)K;
        KV *n_ = an + (f - f0) * (size_t)K, *d_ = ad + (f - f0) * (size_t)K;
        for (size_t t = t0; t < t1; t += MB_VW) {
            const size_t n = T - t < MB_VW ? T - t : MB_VW;
            KV a, b;
            MB_NAME(mb_cell)
            (mode, p, MB_NAME(mb_loadV)(v + t, n), MB_NAME(mb_approx)(w, H, ldh, K, t, p->eps), n,
             &a, &b);
            for (int k = 0; k < K; k++) {
                const KV h = LD(H + (size_t)k * ldh + t);
                n_[k] += a * h;
                if (den) d_[k] += b * h;
            }
        }
    }
}

/* The H sums of the rows [f0, f1) in order over the frames [t0, t1):
 * num[k][t] += W[f][k] a, den likewise with b; two rows per pass. */
MB_INLINE void MB_NAME(mb_hpart)(int mode, const kve_betaPar *p, const float *restrict V,
                                 size_t ldv, size_t T, const double *restrict W,
                                 const double *restrict H, size_t ldh, int K, size_t f0, size_t f1,
                                 size_t t0, size_t t1, double *restrict num, double *restrict den)
{
    const int hasDen = mode != MB_KL;
    size_t f = f0;
    for (; f + 2 <= f1; f += 2) {
        const float *v0 = V + f * ldv, *v1 = v0 + ldv;
        const double *w0 = W + f * (size_t)K, *w1 = w0 + K;
        for (size_t t = t0; t < t1; t += MB_VW) {
            const size_t n = T - t < MB_VW ? T - t : MB_VW;
            KV a0, b0, a1, b1;
            MB_NAME(mb_cell)
            (mode, p, MB_NAME(mb_loadV)(v0 + t, n), MB_NAME(mb_approx)(w0, H, ldh, K, t, p->eps), n,
             &a0, &b0);
            MB_NAME(mb_cell)
            (mode, p, MB_NAME(mb_loadV)(v1 + t, n), MB_NAME(mb_approx)(w1, H, ldh, K, t, p->eps), n,
             &a1, &b1);
            for (int k = 0; k < K; k++) {
                double *q = num + (size_t)k * ldh + t;
                KV s = LD(q);
                s += w0[k] * a0;
                s += w1[k] * a1;
                ST(q, s);
                if (hasDen) {
                    double *e = den + (size_t)k * ldh + t;
                    KV u = LD(e);
                    u += w0[k] * b0;
                    u += w1[k] * b1;
                    ST(e, u);
                }
            }
        }
    }
    if (f < f1) {
        const float *v0 = V + f * ldv;
        const double *w0 = W + f * (size_t)K;
        for (size_t t = t0; t < t1; t += MB_VW) {
            const size_t n = T - t < MB_VW ? T - t : MB_VW;
            KV a0, b0;
            MB_NAME(mb_cell)
            (mode, p, MB_NAME(mb_loadV)(v0 + t, n), MB_NAME(mb_approx)(w0, H, ldh, K, t, p->eps), n,
             &a0, &b0);
            for (int k = 0; k < K; k++) {
                double *q = num + (size_t)k * ldh + t;
                ST(q, LD(q) + w0[k] * a0);
                if (hasDen) {
                    double *e = den + (size_t)k * ldh + t;
                    ST(e, LD(e) + w0[k] * b0);
                }
            }
        }
    }
}

/* one copy per mode */
#define MB_MODES(CALL)                                                                             \
    switch (mode) {                                                                                \
    case MB_IS:                                                                                    \
        CALL(MB_IS);                                                                               \
        break;                                                                                     \
    case MB_HALF:                                                                                  \
        CALL(MB_HALF);                                                                             \
        break;                                                                                     \
    case MB_KL:                                                                                    \
        CALL(MB_KL);                                                                               \
        break;                                                                                     \
    case MB_THREEHALF:                                                                             \
        CALL(MB_THREEHALF);                                                                        \
        break;                                                                                     \
    case MB_EUCL:                                                                                  \
        CALL(MB_EUCL);                                                                             \
        break;                                                                                     \
    default:                                                                                       \
        CALL(MB_POW);                                                                              \
        break;                                                                                     \
    }

static void MB_NAME(mb_wpass)(int mode, const kve_betaPar *p, const float *V, size_t ldv, size_t T,
                              const double *W, const double *H, size_t ldh, int K, size_t f0,
                              size_t f1, size_t t0, size_t t1, double *an, double *ad)
{
#define MB_W(M) MB_NAME(mb_wpart)(M, p, V, ldv, T, W, H, ldh, K, f0, f1, t0, t1, (KV *)an, (KV *)ad)
    MB_MODES(MB_W)
#undef MB_W
}

static void MB_NAME(mb_hpass)(int mode, const kve_betaPar *p, const float *V, size_t ldv, size_t T,
                              const double *W, const double *H, size_t ldh, int K, size_t f0,
                              size_t f1, size_t t0, size_t t1, double *num, double *den)
{
#define MB_H(M) MB_NAME(mb_hpart)(M, p, V, ldv, T, W, H, ldh, K, f0, f1, t0, t1, num, den)
    MB_MODES(MB_H)
#undef MB_H
}

#undef MB_MODES
#undef LD
#undef ST
#undef KV
#undef MB_INLINE
#undef MB_NAME
#undef MB_CAT
#undef MB_CAT2
