/* Kernels of the β-divergence rounds, one copy per instruction set and
 * precision: the includer defines MB_SINGLE (0: double, 1: float), MB_VW
 * (values per vector) and MB_SUFFIX, wraps the inclusion in the matching
 * target pragma, and defines MB_VPOW, a vector power of that width, and
 * MB_RCP, an estimate of 1 / y, where there are some; MB_ANY_K leaves out
 * the copies per K. The parameters but MB_ANY_K are undefined at the end.
 * Frames run along the lanes; V is stored as floats and widened as it is
 * read.
 *
 * Per cell, with y = sum_k W[f,k] H[k,t] + eps, the kernels form
 *   a = V y^(beta - 2)   and   b = y^(beta - 1)
 * and add a H and b H to the W sums of a row, or W a and W b to the H sums
 * of a frame (b only where it is not 1). Lanes past the last frame count
 * as zero. */

#if MB_SINGLE
#define MB_REAL float
#define MB_SQRT __builtin_sqrtf
#define MB_POWS powf
#else
#define MB_REAL double
#define MB_SQRT __builtin_sqrt
#define MB_POWS pow
#endif

#define MB_CAT2(a, b) a##b
#define MB_CAT(a, b) MB_CAT2(a, b)
#define MB_NAME(n) MB_CAT(n, MB_SUFFIX)

typedef MB_REAL MB_NAME(mb_vec) __attribute__((vector_size(MB_VW * sizeof(MB_REAL))));
typedef float MB_NAME(mb_fvec) __attribute__((vector_size(MB_VW * 4)));
#define KV MB_NAME(mb_vec)
#define MB_INLINE static inline __attribute__((always_inline))

MB_INLINE KV MB_NAME(mb_load)(const MB_REAL *p)
{
    KV v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

MB_INLINE void MB_NAME(mb_store)(MB_REAL *p, KV v)
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

#ifdef MB_VPOW
/* the C library's vector power, lane by lane as pow (powf) */
KV MB_VPOW(KV, KV);
#endif

#define LD MB_NAME(mb_load)
#define ST MB_NAME(mb_store)

/* sum_k w[k] H[k][t..] in two chains, plus eps */
MB_INLINE KV MB_NAME(mb_approx)(const MB_REAL *w, const MB_REAL *H, size_t ldh, int K, size_t t,
                                MB_REAL eps)
{
    KV s0 = w[0] * LD(H + t), s1 = (KV){0};
    int k = 1;
    _Pragma("GCC unroll 8") for (; k + 1 < K; k += 2)
    {
        s1 += w[k] * LD(H + (size_t)k * ldh + t);
        s0 += w[k + 1] * LD(H + (size_t)(k + 1) * ldh + t);
    }
    if (k < K) s1 += w[k] * LD(H + (size_t)k * ldh + t);
    return (s0 + s1) + eps;
}

/* 1 / y: a division, or where the includer gives MB_RCP (an estimate of
 * 1 / y to 12 bits or more) the estimate and one Newton step, within a few
 * float steps and free of the divider's latency */
MB_INLINE KV MB_NAME(mb_recip)(KV y)
{
#ifdef MB_RCP
    const KV r = MB_RCP(y);
    return r + r * ((MB_REAL)1.0 - y * r);
#else
    return (MB_REAL)1.0 / y;
#endif
}

/* a and b of the cells with V x and approximation y (eps included); the
 * lanes from n on made 0 */
MB_INLINE void MB_NAME(mb_cell)(int mode, const kve_betaPar *p, KV x, KV y, size_t n, KV *a, KV *b)
{
    switch (mode) {
    case MB_IS: {
        for (int i = 0; i < MB_VW; i++)
            x[i] = x[i] < (MB_REAL)p->vfloor ? (MB_REAL)p->vfloor : x[i];
        const KV r = MB_NAME(mb_recip)(y);
        *b = r;
        *a = (x * r) * r;
        break;
    }
    case MB_HALF: {
        KV s;
        for (int i = 0; i < MB_VW; i++) s[i] = MB_SQRT(y[i]);
        const KV r = MB_NAME(mb_recip)(s);
        *b = r;
        *a = x * ((r * r) * r);
        break;
    }
    case MB_KL:
        *a = MB_NAME(mb_recip)(y) * x;
        *b = (KV){0};
        break;
    case MB_THREEHALF: {
        KV s;
        for (int i = 0; i < MB_VW; i++) s[i] = MB_SQRT(y[i]);
        *b = s;
#ifdef MB_RCP
        *a = x * MB_NAME(mb_recip)(s);
#else
        *a = x / s;
#endif
        break;
    }
    case MB_EUCL:
        *a = x;
        *b = y;
        break;
    default: {
        KV q;
        for (int i = 0; i < MB_VW; i++)
            x[i] = x[i] < (MB_REAL)p->vfloor ? (MB_REAL)p->vfloor : x[i];
#ifdef MB_VPOW
        q = MB_VPOW(y, (KV){0} + (MB_REAL)p->beta1);
#else
        for (int i = 0; i < MB_VW; i++) q[i] = MB_POWS(y[i], (MB_REAL)p->beta1);
#endif
        *b = q;
        *a = (x * q) / y;
#if MB_SINGLE
        /* far from 1, a power of a small approximation leaves the floats */
        for (int i = 0; i < MB_VW; i++) {
            (*a)[i] = (*a)[i] < FLT_MAX ? (*a)[i] : FLT_MAX;
            (*b)[i] = (*b)[i] < FLT_MAX ? (*b)[i] : FLT_MAX;
        }
#endif
        break;
    }
    }
    if (n < MB_VW)
        for (size_t i = n; i < MB_VW; i++) (*a)[i] = (*b)[i] = 0.0;
}

/* one vector of frames of a row's W sums */
MB_INLINE void MB_NAME(mb_wvec)(int mode, const kve_betaPar *p, const float *v, const MB_REAL *w,
                                const MB_REAL *restrict H, size_t ldh, int K, size_t t, size_t n,
                                KV *restrict acc, KV *restrict dcc)
{
    KV a, b;
    MB_NAME(mb_cell)
    (mode, p, MB_NAME(mb_loadV)(v + t, n), MB_NAME(mb_approx)(w, H, ldh, K, t, (MB_REAL)p->eps), n,
     &a, &b);
    _Pragma("GCC unroll 16") for (int k = 0; k < K; k++)
    {
        const KV h = LD(H + (size_t)k * ldh + t);
        acc[k] += a * h;
        if (mode != MB_KL) dcc[k] += b * h;
    }
}

/* The W sums of the rows [f0, f1) over the frames [t0, t1) (multiples of
 * the width; frames from T on count as 0): an[(f - f0) K + k] += a H[k],
 * ad likewise with b, lane by lane. */
MB_INLINE void MB_NAME(mb_wpart)(int mode, const kve_betaPar *p, const float *restrict V,
                                 size_t ldv, size_t T, const MB_REAL *restrict W,
                                 const MB_REAL *restrict H, size_t ldh, int K, size_t f0, size_t f1,
                                 size_t t0, size_t t1, KV *restrict an, KV *restrict ad)
{
    const size_t tf = t1 <= T ? t1 : T / MB_VW * MB_VW;
    /* up to 16 components the sums live in registers, else in place */
    KV loc[32];
    const int kr = K <= 16 ? K : 0; /* the sums copied in and out */
    for (size_t f = f0; f < f1; f++) {
        const float *v = V + f * ldv;
        const MB_REAL *w = W + f * (size_t)K;
        KV *n_ = an + (f - f0) * (size_t)K, *d_ = ad + (f - f0) * (size_t)K;
        KV *acc = K <= 16 ? loc : n_, *dcc = K <= 16 ? loc + 16 : d_;
        _Pragma("GCC unroll 16") for (int k = 0; k < kr; k++)
        {
            acc[k] = n_[k];
            dcc[k] = mode != MB_KL ? d_[k] : (KV){0};
        }
        size_t t = t0;
        for (; t < tf; t += MB_VW) {
            /* the next row's stretch of V is a jump the prefetcher misses */
            __builtin_prefetch(v + ldv + t);
            MB_NAME(mb_wvec)(mode, p, v, w, H, ldh, K, t, MB_VW, acc, dcc);
        }
        if (t < t1) MB_NAME(mb_wvec)(mode, p, v, w, H, ldh, K, t, T - t, acc, dcc);
        _Pragma("GCC unroll 16") for (int k = 0; k < kr; k++)
        {
            n_[k] = acc[k];
            if (mode != MB_KL) d_[k] = dcc[k];
        }
    }
}

/* one vector of frames of the H sums, from two rows and from one */
MB_INLINE void MB_NAME(mb_hvec2)(int mode, const kve_betaPar *p, const float *v0, const float *v1,
                                 const MB_REAL *w0, const MB_REAL *w1, const MB_REAL *restrict H,
                                 size_t ldh, int K, size_t t, size_t n, MB_REAL *restrict num,
                                 MB_REAL *restrict den)
{
    KV a0, b0, a1, b1;
    MB_NAME(mb_cell)
    (mode, p, MB_NAME(mb_loadV)(v0 + t, n), MB_NAME(mb_approx)(w0, H, ldh, K, t, (MB_REAL)p->eps),
     n, &a0, &b0);
    MB_NAME(mb_cell)
    (mode, p, MB_NAME(mb_loadV)(v1 + t, n), MB_NAME(mb_approx)(w1, H, ldh, K, t, (MB_REAL)p->eps),
     n, &a1, &b1);
    _Pragma("GCC unroll 16") for (int k = 0; k < K; k++)
    {
        MB_REAL *q = num + (size_t)k * ldh + t;
        KV s = LD(q);
        s += w0[k] * a0;
        s += w1[k] * a1;
        ST(q, s);
        if (mode != MB_KL) {
            MB_REAL *e = den + (size_t)k * ldh + t;
            KV u = LD(e);
            u += w0[k] * b0;
            u += w1[k] * b1;
            ST(e, u);
        }
    }
}

MB_INLINE void MB_NAME(mb_hvec1)(int mode, const kve_betaPar *p, const float *v0, const MB_REAL *w0,
                                 const MB_REAL *restrict H, size_t ldh, int K, size_t t, size_t n,
                                 MB_REAL *restrict num, MB_REAL *restrict den)
{
    KV a0, b0;
    MB_NAME(mb_cell)
    (mode, p, MB_NAME(mb_loadV)(v0 + t, n), MB_NAME(mb_approx)(w0, H, ldh, K, t, (MB_REAL)p->eps),
     n, &a0, &b0);
    _Pragma("GCC unroll 16") for (int k = 0; k < K; k++)
    {
        MB_REAL *q = num + (size_t)k * ldh + t;
        ST(q, LD(q) + w0[k] * a0);
        if (mode != MB_KL) {
            MB_REAL *e = den + (size_t)k * ldh + t;
            ST(e, LD(e) + w0[k] * b0);
        }
    }
}

/* The Kullback-Leibler H sums of up to 16 components over n frames at t:
 * the sums held in registers over the rows [f0, f1) in order, each row
 * adding W[f][k] a as the two-row pass below does, so that they get the
 * same terms in the same order. V pf values further on is prefetched. */
MB_INLINE void MB_NAME(mb_hvecKL)(const kve_betaPar *p, const float *restrict V, size_t ldv,
                                  const MB_REAL *restrict W, const MB_REAL *restrict H, size_t ldh,
                                  int K, size_t f0, size_t f1, size_t t, size_t n,
                                  MB_REAL *restrict num, size_t pf)
{
    KV acc[16] = {0};
    _Pragma("GCC unroll 16") for (int k = 0; k < K; k++) acc[k] = LD(num + (size_t)k * ldh + t);
    for (size_t f = f0; f < f1; f++) {
        const float *v = V + f * ldv;
        const MB_REAL *w = W + f * (size_t)K, *h = H;
        /* H read from the cache row by row: held in registers it would
         * push the sums out */
        __asm__("" : "+r"(h));
        __builtin_prefetch(v + pf + t, 0, 2);
        KV a, b;
        MB_NAME(mb_cell)
        (MB_KL, p, MB_NAME(mb_loadV)(v + t, n),
         MB_NAME(mb_approx)(w, h, ldh, K, t, (MB_REAL)p->eps), n, &a, &b);
        _Pragma("GCC unroll 16") for (int k = 0; k < K; k++) acc[k] += w[k] * a;
    }
    _Pragma("GCC unroll 16") for (int k = 0; k < K; k++) ST(num + (size_t)k * ldh + t, acc[k]);
}

MB_INLINE void MB_NAME(mb_hpartKL)(const kve_betaPar *p, const float *restrict V, size_t ldv,
                                   size_t T, const MB_REAL *restrict W, const MB_REAL *restrict H,
                                   size_t ldh, int K, size_t f0, size_t f1, size_t t0, size_t t1,
                                   MB_REAL *restrict num, size_t pf)
{
    const size_t tf = t1 <= T ? t1 : T / MB_VW * MB_VW;
    size_t t = t0;
    for (; t < tf; t += MB_VW)
        MB_NAME(mb_hvecKL)(p, V, ldv, W, H, ldh, K, f0, f1, t, MB_VW, num, pf);
    if (t < t1) MB_NAME(mb_hvecKL)(p, V, ldv, W, H, ldh, K, f0, f1, t, T - t, num, pf);
}

/* The H sums of the rows [f0, f1) in order over the frames [t0, t1):
 * num[k][t] += W[f][k] a, den likewise with b; two rows per pass. V pf
 * values further on is prefetched for the W pass of the next block. */
MB_INLINE void MB_NAME(mb_hpart)(int mode, const kve_betaPar *p, const float *restrict V,
                                 size_t ldv, size_t T, const MB_REAL *restrict W,
                                 const MB_REAL *restrict H, size_t ldh, int K, size_t f0, size_t f1,
                                 size_t t0, size_t t1, MB_REAL *restrict num, MB_REAL *restrict den,
                                 size_t pf)
{
    if (mode == MB_KL && K <= 16) {
        MB_NAME(mb_hpartKL)(p, V, ldv, T, W, H, ldh, K, f0, f1, t0, t1, num, pf);
        return;
    }
    const size_t tf = t1 <= T ? t1 : T / MB_VW * MB_VW;
    size_t f = f0;
    for (; f + 2 <= f1; f += 2) {
        const float *v0 = V + f * ldv, *v1 = v0 + ldv;
        const MB_REAL *w0 = W + f * (size_t)K, *w1 = w0 + K;
        size_t t = t0;
        for (; t < tf; t += MB_VW) {
            __builtin_prefetch(v0 + pf + t, 0, 2);
            __builtin_prefetch(v1 + pf + t, 0, 2);
            MB_NAME(mb_hvec2)(mode, p, v0, v1, w0, w1, H, ldh, K, t, MB_VW, num, den);
        }
        if (t < t1) MB_NAME(mb_hvec2)(mode, p, v0, v1, w0, w1, H, ldh, K, t, T - t, num, den);
    }
    if (f < f1) {
        const float *v0 = V + f * ldv;
        const MB_REAL *w0 = W + f * (size_t)K;
        size_t t = t0;
        for (; t < tf; t += MB_VW) {
            __builtin_prefetch(v0 + pf + t, 0, 2);
            MB_NAME(mb_hvec1)(mode, p, v0, w0, H, ldh, K, t, MB_VW, num, den);
        }
        if (t < t1) MB_NAME(mb_hvec1)(mode, p, v0, w0, H, ldh, K, t, T - t, num, den);
    }
}

/* one copy per mode, and per K up to 16 so that the per-component values
 * stay in registers */
#define MB_MODES(CALL, KK)                                                                         \
    switch (mode) {                                                                                \
    case MB_IS:                                                                                    \
        CALL(MB_IS, KK);                                                                           \
        break;                                                                                     \
    case MB_HALF:                                                                                  \
        CALL(MB_HALF, KK);                                                                         \
        break;                                                                                     \
    case MB_KL:                                                                                    \
        CALL(MB_KL, KK);                                                                           \
        break;                                                                                     \
    case MB_THREEHALF:                                                                             \
        CALL(MB_THREEHALF, KK);                                                                    \
        break;                                                                                     \
    case MB_EUCL:                                                                                  \
        CALL(MB_EUCL, KK);                                                                         \
        break;                                                                                     \
    default:                                                                                       \
        CALL(MB_POW, KK);                                                                          \
        break;                                                                                     \
    }
#define MB_W(M, KK)                                                                                \
    MB_NAME(mb_wpart)(M, p, V, ldv, T, W, H, ldh, KK, f0, f1, t0, t1, (KV *)an, (KV *)ad)
#define MB_H(M, KK) MB_NAME(mb_hpart)(M, p, V, ldv, T, W, H, ldh, KK, f0, f1, t0, t1, num, den, pf)
#define MB_ARGS                                                                                    \
    int mode, const kve_betaPar *p, const float *V, size_t ldv, size_t T, const MB_REAL *W,        \
        const MB_REAL *H, size_t ldh, int K, size_t f0, size_t f1, size_t t0, size_t t1
#define MB_SMALL(KC)                                                                               \
    static void MB_CAT(MB_NAME(mb_wpass), _##KC)(MB_ARGS, MB_REAL * an, MB_REAL * ad)              \
    {                                                                                              \
        (void)K;                                                                                   \
        MB_MODES(MB_W, KC)                                                                         \
    }                                                                                              \
    static void MB_CAT(MB_NAME(mb_hpass), _##KC)(MB_ARGS, MB_REAL * num, MB_REAL * den, size_t pf) \
    {                                                                                              \
        (void)K;                                                                                   \
        MB_MODES(MB_H, KC)                                                                         \
    }
#ifndef MB_ANY_K
MB_SMALL(1)
MB_SMALL(2)
MB_SMALL(3)
MB_SMALL(4)
MB_SMALL(5)
MB_SMALL(6)
MB_SMALL(7)
MB_SMALL(8)
MB_SMALL(9)
MB_SMALL(10)
MB_SMALL(11)
MB_SMALL(12)
MB_SMALL(13)
MB_SMALL(14)
MB_SMALL(15)
MB_SMALL(16)
#endif
MB_SMALL(K)
#undef MB_SMALL

#ifdef MB_ANY_K
static void MB_NAME(mb_wpass)(MB_ARGS, MB_REAL *an, MB_REAL *ad)
{
    MB_CAT(MB_NAME(mb_wpass), _K)(mode, p, V, ldv, T, W, H, ldh, K, f0, f1, t0, t1, an, ad);
}

static void MB_NAME(mb_hpass)(MB_ARGS, MB_REAL *num, MB_REAL *den, size_t pf)
{
    MB_CAT(MB_NAME(mb_hpass), _K)(mode, p, V, ldv, T, W, H, ldh, K, f0, f1, t0, t1, num, den, pf);
}
#else
#define MB_TAB(pre)                                                                                \
    {                                                                                              \
        MB_CAT(pre, _K), MB_CAT(pre, _1), MB_CAT(pre, _2), MB_CAT(pre, _3), MB_CAT(pre, _4),       \
            MB_CAT(pre, _5), MB_CAT(pre, _6), MB_CAT(pre, _7), MB_CAT(pre, _8), MB_CAT(pre, _9),   \
            MB_CAT(pre, _10), MB_CAT(pre, _11), MB_CAT(pre, _12), MB_CAT(pre, _13),                \
            MB_CAT(pre, _14), MB_CAT(pre, _15), MB_CAT(pre, _16)                                   \
    }

static void MB_NAME(mb_wpass)(MB_ARGS, MB_REAL *an, MB_REAL *ad)
{
    static void (*const tab[17])(MB_ARGS, MB_REAL *, MB_REAL *) = MB_TAB(MB_NAME(mb_wpass));
    tab[K <= 16 ? K : 0](mode, p, V, ldv, T, W, H, ldh, K, f0, f1, t0, t1, an, ad);
}

static void MB_NAME(mb_hpass)(MB_ARGS, MB_REAL *num, MB_REAL *den, size_t pf)
{
    static void (*const tab[17])(MB_ARGS, MB_REAL *, MB_REAL *, size_t) = MB_TAB(MB_NAME(mb_hpass));
    tab[K <= 16 ? K : 0](mode, p, V, ldv, T, W, H, ldh, K, f0, f1, t0, t1, num, den, pf);
}

#endif
#undef MB_TAB
#undef MB_ARGS
#undef MB_W
#undef MB_H
#undef MB_MODES
#undef LD
#undef ST
#undef KV
#undef MB_INLINE
#undef MB_NAME
#undef MB_CAT
#undef MB_CAT2
#undef MB_REAL
#undef MB_SQRT
#undef MB_POWS
#undef MB_SINGLE
#undef MB_VW
#undef MB_SUFFIX
#undef MB_VPOW
#undef MB_RCP
