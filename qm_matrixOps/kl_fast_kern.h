/* Kernels of the blocked Kullback-Leibler updates, one copy per instruction
 * set: the includer defines KF_VW (doubles per vector) and KF_SUFFIX, and
 * wraps the inclusion in the matching target pragma.
 *
 * Per element the arithmetic is that of the whole-matrix form:
 *   q = (1 / (sum_k W[f,k] H[k,t] + eps)) * V[f,t]
 * and per factor element x *= num / den, den already holding its eps. Only
 * the order of the sums differs. */

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

KF_INLINE double KF_NAME(kf_hsum)(KV v)
{
    double s = 0.0;
    for (int i = 0; i < KF_VW; i++)
        s += v[i];
    return s;
}

/* sum_k w[k] * h[k] in two interleaved chains, so the additions overlap */
#define KF_DOT(out, K, wexpr, hexpr)                         \
    do {                                                     \
        KV s0_ = (wexpr(0)) * (hexpr(0));                    \
        KV s1_ = s0_ - s0_;                                  \
        _Pragma("GCC unroll 16")                             \
        for (int k_ = 1; k_ + 1 < (K); k_ += 2) {            \
            s1_ += (wexpr(k_)) * (hexpr(k_));                \
            s0_ += (wexpr(k_ + 1)) * (hexpr(k_ + 1));        \
        }                                                    \
        if (((K) & 1) == 0)                                  \
            s1_ += (wexpr((K) - 1)) * (hexpr((K) - 1));      \
        out = (K) > 1 ? s0_ + s1_ : s0_;                     \
    } while (0)

/* H update of the frame vectors [j0, j1) (frames j*KF_VW ...), all bins.
 * hk and acc hold K vectors each; with a constant K they live in registers. */
KF_INLINE void KF_NAME(kf_hblocks)(const double *restrict V, const double *restrict W,
                                   double *restrict H, const double *restrict denH,
                                   size_t F, size_t T, int K, size_t j0, size_t j1,
                                   KV *restrict hk, KV *restrict acc)
{
    const double eps = QM_EPS;
    for (size_t j = j0; j < j1; j++) {
        size_t t = j * KF_VW;
        _Pragma("GCC unroll 16")
        for (int k = 0; k < K; k++) {
            hk[k] = KF_NAME(kf_load)(H + (size_t)k * T + t);
            acc[k] = hk[k] - hk[k];
        }
        const double *w = W;
        const double *v = V + t;
        for (size_t f = 0; f < F; f++, w += K, v += T) {
            KV wh;
#define KF_W(k) w[k]
#define KF_H(k) hk[k]
            KF_DOT(wh, K, KF_W, KF_H);
#undef KF_W
#undef KF_H
            KV r = 1.0 / (wh + eps);
            KV q = r * KF_NAME(kf_load)(v);
            _Pragma("GCC unroll 16")
            for (int k = 0; k < K; k++)
                acc[k] += w[k] * q;
        }
        _Pragma("GCC unroll 16")
        for (int k = 0; k < K; k++)
            KF_NAME(kf_store)(H + (size_t)k * T + t, hk[k] * (acc[k] / denH[k]));
    }
}

/* Adds to num (rows [f0, f1) of F x K) the sums over frames [t0, t1) of
 * q[f,t] * H[k,t]; t1 - t0 is a multiple of KF_VW. */
KF_INLINE void KF_NAME(kf_wtile)(const double *restrict V, const double *restrict W,
                                 const double *restrict H, double *restrict num,
                                 size_t T, int K, size_t f0, size_t f1,
                                 size_t t0, size_t t1, double *restrict wk,
                                 KV *restrict acc)
{
    const double eps = QM_EPS;
    for (size_t f = f0; f < f1; f++) {
        const double *v = V + f * T;
        _Pragma("GCC unroll 16")
        for (int k = 0; k < K; k++) {
            wk[k] = W[f * (size_t)K + k];
            acc[k] = KF_NAME(kf_load)(H) * 0.0;
        }
        for (size_t t = t0; t < t1; t += KF_VW) {
            KV wh;
#define KF_W(k) wk[k]
#define KF_H(k) KF_NAME(kf_load)(H + (size_t)(k) * T + t)
            KF_DOT(wh, K, KF_W, KF_H);
            KV r = 1.0 / (wh + eps);
            KV q = r * KF_NAME(kf_load)(v + t);
            _Pragma("GCC unroll 16")
            for (int k = 0; k < K; k++)
                acc[k] += q * KF_H(k);
#undef KF_W
#undef KF_H
        }
        _Pragma("GCC unroll 16")
        for (int k = 0; k < K; k++)
            num[f * (size_t)K + k] += KF_NAME(kf_hsum)(acc[k]);
    }
}

/* One wrapper per small K keeps every per-component value in a register. */
#define KF_SMALL(KC)                                                               \
    static void KF_NAME(kf_hblocks_##KC)(const double *V, const double *W, double *H, \
                                         const double *denH, size_t F, size_t T,   \
                                         size_t j0, size_t j1)                     \
    {                                                                              \
        KV hk[KC], acc[KC];                                                        \
        KF_NAME(kf_hblocks)(V, W, H, denH, F, T, KC, j0, j1, hk, acc);             \
    }                                                                              \
    static void KF_NAME(kf_wtile_##KC)(const double *V, const double *W,           \
                                       const double *H, double *num, size_t T,     \
                                       size_t f0, size_t f1, size_t t0, size_t t1) \
    {                                                                              \
        double wk[KC];                                                             \
        KV acc[KC];                                                                \
        KF_NAME(kf_wtile)(V, W, H, num, T, KC, f0, f1, t0, t1, wk, acc);           \
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

/* Any K: the per-component vectors live in the caller's scratch. */
static void KF_NAME(kf_hblocks_any)(const double *V, const double *W, double *H,
                                    const double *denH, size_t F, size_t T, int K,
                                    size_t j0, size_t j1, double *scratch)
{
    KV *hk = (KV *)scratch, *acc = hk + K;
    KF_NAME(kf_hblocks)(V, W, H, denH, F, T, K, j0, j1, hk, acc);
}

static void KF_NAME(kf_wtile_any)(const double *V, const double *W, const double *H,
                                  double *num, size_t T, int K, size_t f0, size_t f1,
                                  size_t t0, size_t t1, double *scratch)
{
    KV *acc = (KV *)scratch;
    double *wk = scratch + (size_t)K * KF_VW;
    KF_NAME(kf_wtile)(V, W, H, num, T, K, f0, f1, t0, t1, wk, acc);
}

typedef void (*KF_NAME(kf_hfn))(const double *, const double *, double *, const double *,
                                size_t, size_t, size_t, size_t);
typedef void (*KF_NAME(kf_wfn))(const double *, const double *, const double *, double *,
                                size_t, size_t, size_t, size_t, size_t);

static const KF_NAME(kf_hfn) KF_NAME(kf_htab)[17] = {
    0,
    KF_NAME(kf_hblocks_1), KF_NAME(kf_hblocks_2), KF_NAME(kf_hblocks_3),
    KF_NAME(kf_hblocks_4), KF_NAME(kf_hblocks_5), KF_NAME(kf_hblocks_6),
    KF_NAME(kf_hblocks_7), KF_NAME(kf_hblocks_8), KF_NAME(kf_hblocks_9),
    KF_NAME(kf_hblocks_10), KF_NAME(kf_hblocks_11), KF_NAME(kf_hblocks_12),
    KF_NAME(kf_hblocks_13), KF_NAME(kf_hblocks_14), KF_NAME(kf_hblocks_15),
    KF_NAME(kf_hblocks_16),
};

static const KF_NAME(kf_wfn) KF_NAME(kf_wtab)[17] = {
    0,
    KF_NAME(kf_wtile_1), KF_NAME(kf_wtile_2), KF_NAME(kf_wtile_3),
    KF_NAME(kf_wtile_4), KF_NAME(kf_wtile_5), KF_NAME(kf_wtile_6),
    KF_NAME(kf_wtile_7), KF_NAME(kf_wtile_8), KF_NAME(kf_wtile_9),
    KF_NAME(kf_wtile_10), KF_NAME(kf_wtile_11), KF_NAME(kf_wtile_12),
    KF_NAME(kf_wtile_13), KF_NAME(kf_wtile_14), KF_NAME(kf_wtile_15),
    KF_NAME(kf_wtile_16),
};

/* Entry points used by the driver. */
static void KF_NAME(kf_hpass)(const double *V, const double *W, double *H,
                              const double *denH, size_t F, size_t T, int K,
                              size_t j0, size_t j1, double *scratch)
{
    if (K <= 16)
        KF_NAME(kf_htab)[K](V, W, H, denH, F, T, j0, j1);
    else
        KF_NAME(kf_hblocks_any)(V, W, H, denH, F, T, K, j0, j1, scratch);
}

static void KF_NAME(kf_wpass)(const double *V, const double *W, const double *H,
                              double *num, size_t T, int K, size_t f0, size_t f1,
                              size_t t0, size_t t1, double *scratch)
{
    if (K <= 16)
        KF_NAME(kf_wtab)[K](V, W, H, num, T, f0, f1, t0, t1);
    else
        KF_NAME(kf_wtile_any)(V, W, H, num, T, K, f0, f1, t0, t1, scratch);
}

#undef KV
#undef KF_INLINE
#undef KF_DOT
#undef KF_NAME
#undef KF_CAT
#undef KF_CAT2
