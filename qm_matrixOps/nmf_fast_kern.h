/* Kernels of the blocked updates (kf_: Kullback-Leibler, ef_: Euclidean),
 * one copy per instruction set: the includer defines KF_VW (doubles per
 * vector) and KF_SUFFIX, and wraps the inclusion in the matching target
 * pragma; KF_VT (default double) is the type V is stored in, float V being
 * widened to doubles as it is loaded.
 *
 * Per element the arithmetic is that of the whole-matrix form,
 *   q = (1 / (sum_k W[f,k] H[k,t] + eps)) * V[f,t],
 * only the order of the sums differs. Frames run along the vector lanes. */

#define KF_CAT2(a, b) a##b
#define KF_CAT(a, b) KF_CAT2(a, b)
#define KF_NAME(n) KF_CAT(n, KF_SUFFIX)

typedef double KF_NAME(kf_vec) __attribute__((vector_size(KF_VW * 8)));
#define KV KF_NAME(kf_vec)

#define KF_INLINE static inline __attribute__((always_inline))

KF_INLINE KV KF_NAME(kf_load)(const double *p)
{
    KV v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

KF_INLINE void KF_NAME(kf_store)(double *p, KV v)
{
    __builtin_memcpy(p, &v, sizeof v);
}

#define KF_LD KF_NAME(kf_load)
#define KF_ST KF_NAME(kf_store)

#ifndef KF_VT
#define KF_VT double
#define KF_LDV KF_LD
#else
typedef float KF_NAME(kf_fvec) __attribute__((vector_size(KF_VW * 4)));
KF_INLINE KV KF_NAME(kf_loadf)(const float *p)
{
    KF_NAME(kf_fvec) v;
    __builtin_memcpy(&v, p, sizeof v);
    return __builtin_convertvector(v, KV);
}
#define KF_LDV KF_NAME(kf_loadf)
#endif

/* out = sum_k w[k] * H[k][t] in two interleaved chains, so that the
 * additions overlap */
#define KF_DOT(out, K, w, H, T, t)                                                                 \
    do {                                                                                           \
        KV s0_ = (w)[0] * KF_LD((H) + (t));                                                        \
        KV s1_ = (KV){0};                                                                          \
        _Pragma("GCC unroll 16") for (int k_ = 1; k_ + 1 < (K); k_ += 2)                           \
        {                                                                                          \
            s1_ += (w)[k_] * KF_LD((H) + (size_t)k_ * (T) + (t));                                  \
            s0_ += (w)[k_ + 1] * KF_LD((H) + (size_t)(k_ + 1) * (T) + (t));                        \
        }                                                                                          \
        if (((K)&1) == 0 && (K) > 1)                                                               \
            s1_ += (w)[(K)-1] * KF_LD((H) + (size_t)((K)-1) * (T) + (t));                          \
        out = (K) > 1 ? s0_ + s1_ : s0_;                                                           \
    } while (0)

/* W numerators: for the rows [f0, f1) and the frames [t0, t1) (a multiple
 * of KF_VW), acc[(f - f0) * K + k] += q[f,t] * H[k,t] lane by lane. V has
 * rows ldv apart, H (and the H numerators) ldh apart. */
KF_INLINE void KF_NAME(kf_wpart)(const KF_VT *restrict V, size_t ldv, const double *restrict W,
                                 const double *restrict H, size_t ldh, int K, size_t f0, size_t f1,
                                 size_t t0, size_t t1, KV *restrict accs, double *restrict wk,
                                 KV *restrict acc)
{
    const double eps = QM_EPS;
    for (size_t f = f0; f < f1; f++) {
        const KF_VT *v = V + f * ldv;
        KV *a = accs + (f - f0) * (size_t)K;
        _Pragma("GCC unroll 16") for (int k = 0; k < K; k++)
        {
            wk[k] = W[f * (size_t)K + k];
            acc[k] = a[k];
        }
        for (size_t t = t0; t < t1; t += KF_VW) {
            KV wh;
            KF_DOT(wh, K, wk, H, ldh, t);
            /* the next row's stretch of V is a jump the prefetcher misses */
            __builtin_prefetch(v + ldv + t);
            KV q = (1.0 / (wh + eps)) * KF_LDV(v + t);
            _Pragma("GCC unroll 16") for (int k = 0; k < K; k++) acc[k] +=
                q * KF_LD(H + (size_t)k * ldh + t);
        }
        _Pragma("GCC unroll 16") for (int k = 0; k < K; k++) a[k] = acc[k];
    }
}

/* H numerators: num[k,t] += W[f,k] * q[f,t] over the rows [f0, f1) in
 * order, for the frames [t0, t1) (a multiple of KF_VW); two rows share
 * each pass over num. V pf doubles further on is prefetched (a prefetch
 * never faults, so it may point past the end). */
KF_INLINE void KF_NAME(kf_hpart)(const KF_VT *restrict V, size_t ldv, const double *restrict W,
                                 const double *restrict H, double *restrict num, size_t ldh, int K,
                                 size_t f0, size_t f1, size_t t0, size_t t1, size_t pf)
{
    const double eps = QM_EPS;
    size_t f = f0;
    for (; f + 2 <= f1; f += 2) {
        const double *w0 = W + f * (size_t)K, *w1 = w0 + K;
        const KF_VT *v0 = V + f * ldv, *v1 = v0 + ldv;
        for (size_t t = t0; t < t1; t += KF_VW) {
            KV wh0, wh1;
            KF_DOT(wh0, K, w0, H, ldh, t);
            KF_DOT(wh1, K, w1, H, ldh, t);
            /* the same stretch of the next block, for the W pass to find */
            __builtin_prefetch(v0 + pf + t, 0, 2);
            __builtin_prefetch(v1 + pf + t, 0, 2);
            KV q0 = (1.0 / (wh0 + eps)) * KF_LDV(v0 + t);
            KV q1 = (1.0 / (wh1 + eps)) * KF_LDV(v1 + t);
            _Pragma("GCC unroll 16") for (int k = 0; k < K; k++)
            {
                double *p = num + (size_t)k * ldh + t;
                KV n = KF_LD(p);
                n += w0[k] * q0;
                n += w1[k] * q1;
                KF_ST(p, n);
            }
        }
    }
    if (f < f1) {
        const double *w0 = W + f * (size_t)K;
        const KF_VT *v0 = V + f * ldv;
        for (size_t t = t0; t < t1; t += KF_VW) {
            KV wh0;
            KF_DOT(wh0, K, w0, H, ldh, t);
            __builtin_prefetch(v0 + pf + t, 0, 2);
            KV q0 = (1.0 / (wh0 + eps)) * KF_LDV(v0 + t);
            _Pragma("GCC unroll 16") for (int k = 0; k < K; k++)
            {
                double *p = num + (size_t)k * ldh + t;
                KF_ST(p, KF_LD(p) + w0[k] * q0);
            }
        }
    }
}

/* Euclidean W numerators: acc[(f - f0) * K + k] += V[f,t] * H[k,t] over the
 * frames [t0, t1), lane by lane. */
KF_INLINE void KF_NAME(ef_wpart)(const KF_VT *restrict V, size_t ldv, const double *restrict H,
                                 size_t ldh, int K, size_t f0, size_t f1, size_t t0, size_t t1,
                                 KV *restrict accs, KV *restrict acc)
{
    for (size_t f = f0; f < f1; f++) {
        const KF_VT *v = V + f * ldv;
        KV *a = accs + (f - f0) * (size_t)K;
        _Pragma("GCC unroll 16") for (int k = 0; k < K; k++) acc[k] = a[k];
        for (size_t t = t0; t < t1; t += KF_VW) {
            __builtin_prefetch(v + ldv + t);
            KV x = KF_LDV(v + t);
            _Pragma("GCC unroll 16") for (int k = 0; k < K; k++) acc[k] +=
                x * KF_LD(H + (size_t)k * ldh + t);
        }
        _Pragma("GCC unroll 16") for (int k = 0; k < K; k++) a[k] = acc[k];
    }
}

/* Euclidean H numerators: num[k,t] += W[f,k] * V[f,t] over the rows
 * [f0, f1) in order, two rows per pass over num. */
KF_INLINE void KF_NAME(ef_hpart)(const KF_VT *restrict V, size_t ldv, const double *restrict W,
                                 double *restrict num, size_t ldh, int K, size_t f0, size_t f1,
                                 size_t t0, size_t t1, size_t pf)
{
    size_t f = f0;
    for (; f + 2 <= f1; f += 2) {
        const double *w0 = W + f * (size_t)K, *w1 = w0 + K;
        const KF_VT *v0 = V + f * ldv, *v1 = v0 + ldv;
        for (size_t t = t0; t < t1; t += KF_VW) {
            __builtin_prefetch(v0 + pf + t, 0, 2);
            __builtin_prefetch(v1 + pf + t, 0, 2);
            KV x0 = KF_LDV(v0 + t), x1 = KF_LDV(v1 + t);
            _Pragma("GCC unroll 16") for (int k = 0; k < K; k++)
            {
                double *p = num + (size_t)k * ldh + t;
                KV n = KF_LD(p);
                n += w0[k] * x0;
                n += w1[k] * x1;
                KF_ST(p, n);
            }
        }
    }
    if (f < f1) {
        const double *w0 = W + f * (size_t)K;
        const KF_VT *v0 = V + f * ldv;
        for (size_t t = t0; t < t1; t += KF_VW) {
            __builtin_prefetch(v0 + pf + t, 0, 2);
            KV x0 = KF_LDV(v0 + t);
            _Pragma("GCC unroll 16") for (int k = 0; k < K; k++)
            {
                double *p = num + (size_t)k * ldh + t;
                KF_ST(p, KF_LD(p) + w0[k] * x0);
            }
        }
    }
}

/* One copy per small K keeps every per-component value in a register. */
#define KF_SMALL(KC)                                                                               \
    static void KF_CAT(KF_NAME(kf_wpart), _##KC)(const void *V, size_t ldv, const double *W,       \
                                                 const double *H, size_t ldh, size_t f0,           \
                                                 size_t f1, size_t t0, size_t t1, double *accs)    \
    {                                                                                              \
        double wk[KC];                                                                             \
        KV acc[KC];                                                                                \
        KF_NAME(kf_wpart)(V, ldv, W, H, ldh, KC, f0, f1, t0, t1, (KV *)accs, wk, acc);             \
    }                                                                                              \
    static void KF_CAT(KF_NAME(kf_hpart), _##KC)(                                                  \
        const void *V, size_t ldv, const double *W, const double *H, double *num, size_t ldh,      \
        size_t f0, size_t f1, size_t t0, size_t t1, size_t pf)                                     \
    {                                                                                              \
        KF_NAME(kf_hpart)(V, ldv, W, H, num, ldh, KC, f0, f1, t0, t1, pf);                         \
    }                                                                                              \
    static void KF_CAT(KF_NAME(ef_wpart), _##KC)(const void *V, size_t ldv, const double *W,       \
                                                 const double *H, size_t ldh, size_t f0,           \
                                                 size_t f1, size_t t0, size_t t1, double *accs)    \
    {                                                                                              \
        KV acc[KC];                                                                                \
        (void)W;                                                                                   \
        KF_NAME(ef_wpart)(V, ldv, H, ldh, KC, f0, f1, t0, t1, (KV *)accs, acc);                    \
    }                                                                                              \
    static void KF_CAT(KF_NAME(ef_hpart), _##KC)(                                                  \
        const void *V, size_t ldv, const double *W, const double *H, double *num, size_t ldh,      \
        size_t f0, size_t f1, size_t t0, size_t t1, size_t pf)                                     \
    {                                                                                              \
        (void)H;                                                                                   \
        KF_NAME(ef_hpart)(V, ldv, W, num, ldh, KC, f0, f1, t0, t1, pf);                            \
    }

KF_SMALL(1)
KF_SMALL(2)
KF_SMALL(3)
KF_SMALL(4)
KF_SMALL(5)
KF_SMALL(6)
KF_SMALL(7)
KF_SMALL(8)
KF_SMALL(9)
KF_SMALL(10)
KF_SMALL(11)
KF_SMALL(12)
KF_SMALL(13)
KF_SMALL(14)
KF_SMALL(15)
KF_SMALL(16)
#undef KF_SMALL

typedef void (*KF_NAME(kf_wfn))(const void *, size_t, const double *, const double *, size_t,
                                size_t, size_t, size_t, size_t, double *);
typedef void (*KF_NAME(kf_hfn))(const void *, size_t, const double *, const double *, double *,
                                size_t, size_t, size_t, size_t, size_t, size_t);

#define KF_TAB(pre)                                                                                \
    {                                                                                              \
        0, pre##_1, pre##_2, pre##_3, pre##_4, pre##_5, pre##_6, pre##_7, pre##_8, pre##_9,        \
            pre##_10, pre##_11, pre##_12, pre##_13, pre##_14, pre##_15, pre##_16                   \
    }
#define KF_TABN(n) KF_TAB(n)
static const KF_NAME(kf_wfn) KF_NAME(kf_wtab)[17] = KF_TABN(KF_NAME(kf_wpart));
static const KF_NAME(kf_hfn) KF_NAME(kf_htab)[17] = KF_TABN(KF_NAME(kf_hpart));
static const KF_NAME(kf_wfn) KF_NAME(ef_wtab)[17] = KF_TABN(KF_NAME(ef_wpart));
static const KF_NAME(kf_hfn) KF_NAME(ef_htab)[17] = KF_TABN(KF_NAME(ef_hpart));
#undef KF_TABN
#undef KF_TAB

/* Entry points for the driver. accs holds (f1 - f0) * K vectors, aligned;
 * scratch (any K above 16) holds K vectors and K doubles, aligned; pf is
 * the distance in doubles at which the H pass prefetches V. */
static void KF_NAME(kf_wpass)(const void *V, size_t ldv, const double *W, const double *H,
                              size_t ldh, int K, size_t f0, size_t f1, size_t t0, size_t t1,
                              double *accs, double *scratch)
{
    if (K <= 16) {
        KF_NAME(kf_wtab)[K](V, ldv, W, H, ldh, f0, f1, t0, t1, accs);
        return;
    }
    KV *acc = (KV *)scratch;
    double *wk = scratch + (size_t)K * KF_VW;
    KF_NAME(kf_wpart)(V, ldv, W, H, ldh, K, f0, f1, t0, t1, (KV *)accs, wk, acc);
}

static void KF_NAME(kf_hpass)(const void *V, size_t ldv, const double *W, const double *H,
                              double *num, size_t ldh, int K, size_t f0, size_t f1, size_t t0,
                              size_t t1, size_t pf)
{
    if (K <= 16)
        KF_NAME(kf_htab)[K](V, ldv, W, H, num, ldh, f0, f1, t0, t1, pf);
    else
        KF_NAME(kf_hpart)(V, ldv, W, H, num, ldh, K, f0, f1, t0, t1, pf);
}

static void KF_NAME(ef_wpass)(const void *V, size_t ldv, const double *W, const double *H,
                              size_t ldh, int K, size_t f0, size_t f1, size_t t0, size_t t1,
                              double *accs, double *scratch)
{
    if (K <= 16)
        KF_NAME(ef_wtab)[K](V, ldv, W, H, ldh, f0, f1, t0, t1, accs);
    else
        KF_NAME(ef_wpart)(V, ldv, H, ldh, K, f0, f1, t0, t1, (KV *)accs, (KV *)scratch);
}

static void KF_NAME(ef_hpass)(const void *V, size_t ldv, const double *W, const double *H,
                              double *num, size_t ldh, int K, size_t f0, size_t f1, size_t t0,
                              size_t t1, size_t pf)
{
    if (K <= 16)
        KF_NAME(ef_htab)[K](V, ldv, W, H, num, ldh, f0, f1, t0, t1, pf);
    else
        KF_NAME(ef_hpart)(V, ldv, W, num, ldh, K, f0, f1, t0, t1, pf);
}

#undef KV
#undef KF_VT
#undef KF_LDV
#undef KF_LD
#undef KF_ST
#undef KF_INLINE
#undef KF_DOT
#undef KF_NAME
#undef KF_CAT
#undef KF_CAT2
