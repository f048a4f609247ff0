/* Kernels of the convolutive rounds, one copy per instruction set and
 * precision: the includer defines KC_SINGLE (0: double, 1: float),
 * KC_SUFFIX and wraps the inclusion in the matching target pragma, KC_VW,
 * the values per vector, KC_NV, the vectors of frames Λ and the H sums take
 * at a time, and KC_NR, the rows the W sums take at a time (as many as the
 * registers hold), and in float KC_VPOW, a vector powf of that width, where
 * there is one; all undefined at the end. Frames run along the vectors;
 * the W sums keep one lane per frame modulo KC_VW, summed into double at
 * the end, and in float also every KC_FOLD frames and then cleared.
 *
 * A block holds nb rows; wc is their W as nb rows of K L values (l K + k),
 * X and Y are nb rows of lda frames, zero from the last frame on. H is read
 * through the padded copy of the geometry: H[k][t - l] at Hp[k ldp + P + t -
 * l], zero before frame 0 and past the last frame. */

#if KC_SINGLE
#define KC_REAL float
#define KC_GEOM kc_geom_s
#define KC_SQRT sqrtf
#define KC_POW powf
#define KC_FOLD 1024
#else
#define KC_REAL double
#define KC_GEOM kc_geom_d
#define KC_SQRT sqrt
#define KC_POW pow
#define KC_FOLD SIZE_MAX
#endif

#define KC_CAT2(a, b) a##b
#define KC_CAT(a, b) KC_CAT2(a, b)
#define KC_NAME(n) KC_CAT(n, KC_SUFFIX)

typedef KC_REAL KC_NAME(kc_vec) __attribute__((vector_size(KC_VW * sizeof(KC_REAL))));
#define KCV KC_NAME(kc_vec)
#define KC_INLINE static inline __attribute__((always_inline))

KC_INLINE KCV KC_NAME(kc_ld)(const KC_REAL *p)
{
    KCV v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

KC_INLINE void KC_NAME(kc_st)(KC_REAL *p, KCV v)
{
    __builtin_memcpy(p, &v, sizeof v);
}

#define KC_LD KC_NAME(kc_ld)
#define KC_ST KC_NAME(kc_st)

#ifdef KC_VPOW
/* the C library's vector powf, lane by lane as powf */
KCV KC_VPOW(KCV, KCV);
#endif

/* X[r][t] = Λ of the block's rows over the frames [t0, t1), nr rows (1 to
 * 4) from row r, KC_NV vectors of frames at a time */
KC_INLINE void KC_NAME(kc_lamRows)(const KC_GEOM *g, const KC_REAL *restrict wc, size_t r, int nr,
                                   KC_REAL *restrict X, size_t lda, size_t t0, size_t t1)
{
    const size_t K = g->K, L = g->L, KL = K * L, ldp = g->ldp;
    for (size_t t = t0; t < t1; t += KC_NV * KC_VW) {
        KCV a[4][KC_NV];
        _Pragma("GCC unroll 4") for (int i = 0; i < nr; i++)
            _Pragma("GCC unroll 4") for (int v = 0; v < KC_NV; v++) a[i][v] = (KCV){0};
        for (size_t l = 0; l < L; l++) {
            const KC_REAL *h = g->Hp + g->P - l + t;
            const KC_REAL *w = wc + r * KL + l * K;
            for (size_t k = 0; k < K; k++) {
                KCV hv[KC_NV];
                _Pragma("GCC unroll 4") for (int v = 0; v < KC_NV; v++) hv[v] =
                    KC_LD(h + k * ldp + v * KC_VW);
                _Pragma("GCC unroll 4") for (int i = 0; i < nr; i++)
                {
                    const KC_REAL c = w[(size_t)i * KL + k];
                    _Pragma("GCC unroll 4") for (int v = 0; v < KC_NV; v++) a[i][v] += c * hv[v];
                }
            }
        }
        _Pragma("GCC unroll 4") for (int i = 0; i < nr; i++)
            _Pragma("GCC unroll 4") for (int v = 0; v < KC_NV; v++)
                KC_ST(X + (r + (size_t)i) * lda + t + v * KC_VW, a[i][v]);
    }
}

/* X = Λ of the nb rows over the frames [0, Tv) */
static void KC_NAME(kc_lam)(const KC_GEOM *g, const KC_REAL *restrict wc, size_t nb,
                            KC_REAL *restrict X, size_t lda)
{
    for (size_t t0 = 0; t0 < g->Tv; t0 += g->tile) {
        const size_t t1 = t0 + g->tile < g->Tv ? t0 + g->tile : g->Tv;
        size_t r = 0;
        for (; r + 4 <= nb; r += 4) KC_NAME(kc_lamRows)(g, wc, r, 4, X, lda, t0, t1);
        for (; r < nb; r++) KC_NAME(kc_lamRows)(g, wc, r, 1, X, lda, t0, t1);
    }
}

/* num[k][t] += sum_l sum_r wc[r][l K + k] X[r][t + l] for the components
 * [k0, k0 + kb) (kb 1 to 4) over the frames [t0, t1); l outer, rows in
 * order */
KC_INLINE void KC_NAME(kc_hnumK)(const KC_GEOM *g, const KC_REAL *restrict wc, size_t nb,
                                 const KC_REAL *restrict X, size_t lda, KC_REAL *restrict num,
                                 size_t ldn, size_t k0, int kb, size_t t0, size_t t1)
{
    const size_t K = g->K, L = g->L, KL = K * L;
    for (size_t t = t0; t < t1; t += KC_NV * KC_VW) {
        KCV a[4][KC_NV];
        _Pragma("GCC unroll 4") for (int i = 0; i < kb; i++)
            _Pragma("GCC unroll 4") for (int v = 0; v < KC_NV; v++) a[i][v] =
                KC_LD(num + (k0 + (size_t)i) * ldn + t + v * KC_VW);
        for (size_t l = 0; l < L; l++) {
            const KC_REAL *x = X + t + l;
            const KC_REAL *w = wc + l * K + k0;
            for (size_t r = 0; r < nb; r++) {
                KCV xv[KC_NV];
                _Pragma("GCC unroll 4") for (int v = 0; v < KC_NV; v++) xv[v] =
                    KC_LD(x + r * lda + v * KC_VW);
                _Pragma("GCC unroll 4") for (int i = 0; i < kb; i++)
                {
                    const KC_REAL c = w[r * KL + (size_t)i];
                    _Pragma("GCC unroll 4") for (int v = 0; v < KC_NV; v++) a[i][v] += c * xv[v];
                }
            }
        }
        _Pragma("GCC unroll 4") for (int i = 0; i < kb; i++)
            _Pragma("GCC unroll 4") for (int v = 0; v < KC_NV; v++)
                KC_ST(num + (k0 + (size_t)i) * ldn + t + v * KC_VW, a[i][v]);
    }
}

/* num (K rows of ldn) += the block's share of the H update's sums with X */
static void KC_NAME(kc_hnum)(const KC_GEOM *g, const KC_REAL *restrict wc, size_t nb,
                             const KC_REAL *restrict X, size_t lda, KC_REAL *restrict num,
                             size_t ldn)
{
    for (size_t t0 = 0; t0 < g->Tv; t0 += g->tile) {
        const size_t t1 = t0 + g->tile < g->Tv ? t0 + g->tile : g->Tv;
        size_t k0 = 0;
        for (; k0 + 4 <= g->K; k0 += 4)
            KC_NAME(kc_hnumK)(g, wc, nb, X, lda, num, ldn, k0, 4, t0, t1);
        switch (g->K - k0) {
        case 3:
            KC_NAME(kc_hnumK)(g, wc, nb, X, lda, num, ldn, k0, 3, t0, t1);
            break;
        case 2:
            KC_NAME(kc_hnumK)(g, wc, nb, X, lda, num, ldn, k0, 2, t0, t1);
            break;
        case 1:
            KC_NAME(kc_hnumK)(g, wc, nb, X, lda, num, ldn, k0, 1, t0, t1);
            break;
        default:
            break;
        }
    }
}

/* lanes acc[(r K L + j) KC_VW ..] += X[r][t] H[k][t - l] (j = l K + k) for nr
 * rows (1 to KC_NR) from r and jb (1 to 4) of the j from j0, over [t0, t1) */
KC_INLINE void KC_NAME(kc_wnumQ)(const KC_GEOM *g, const KC_REAL *restrict X, size_t lda, size_t r,
                                 int nr, size_t j0, int jb, size_t t0, size_t t1,
                                 KC_REAL *restrict acc)
{
    const size_t KL = g->K * g->L;
    const KC_REAL *h[4];
    KCV a[KC_NR][4];
    _Pragma("GCC unroll 4") for (int q = 0; q < jb; q++)
    {
        h[q] = g->Hp + g->off[j0 + (size_t)q];
        _Pragma("GCC unroll 4") for (int i = 0; i < nr; i++) a[i][q] =
            KC_LD(acc + ((r + (size_t)i) * KL + j0 + (size_t)q) * KC_VW);
    }
    for (size_t t = t0; t < t1; t += KC_VW) {
        KCV x[KC_NR];
        _Pragma("GCC unroll 4") for (int i = 0; i < nr; i++) x[i] =
            KC_LD(X + (r + (size_t)i) * lda + t);
        _Pragma("GCC unroll 4") for (int q = 0; q < jb; q++)
        {
            KCV hv = KC_LD(h[q] + t);
            _Pragma("GCC unroll 4") for (int i = 0; i < nr; i++) a[i][q] += x[i] * hv;
        }
    }
    _Pragma("GCC unroll 4") for (int q = 0; q < jb; q++)
        _Pragma("GCC unroll 4") for (int i = 0; i < nr; i++)
            KC_ST(acc + ((r + (size_t)i) * KL + j0 + (size_t)q) * KC_VW, a[i][q]);
}

KC_INLINE void KC_NAME(kc_wnumRows)(const KC_GEOM *g, const KC_REAL *restrict X, size_t lda,
                                    size_t r, int nr, size_t t0, size_t t1, KC_REAL *restrict acc)
{
    const size_t KL = g->K * g->L;
    size_t j = 0;
    for (; j + 4 <= KL; j += 4) KC_NAME(kc_wnumQ)(g, X, lda, r, nr, j, 4, t0, t1, acc);
    for (; j < KL; j++) KC_NAME(kc_wnumQ)(g, X, lda, r, nr, j, 1, t0, t1, acc);
}

/* out[(l nb + r) K + k] (+)= the lanes of acc (nb K L vectors) summed,
 * the lanes cleared in float; first: out set, not added to */
static void KC_NAME(kc_wfold)(const KC_GEOM *g, KC_REAL *restrict acc, size_t nb, int first,
                              double *restrict out)
{
    const size_t K = g->K, KL = K * g->L;
    for (size_t r = 0; r < nb; r++)
        for (size_t j = 0; j < KL; j++) {
            KC_REAL *a = acc + (r * KL + j) * KC_VW;
            double *o = out + ((j / K) * nb + r) * K + j % K;
#if KC_SINGLE
            double s = 0.0;
            for (int q = 0; q < KC_VW; q++) s += (double)a[q];
            *o = first ? s : *o + s;
            memset(a, 0, KC_VW * sizeof *a);
#elif KC_VW == 8
            (void)first;
            *o = ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7]));
#elif KC_VW == 4
            (void)first;
            *o = (a[0] + a[1]) + (a[2] + a[3]);
#else
            (void)first;
            *o = a[0] + a[1];
#endif
        }
}

/* out[(l nb + r) K + k] = sum_t X[r][t] H[k][t - l] over [0, Tv): lanes in
 * acc (nb K L vectors) summed in frame order, then across */
static void KC_NAME(kc_wnum)(const KC_GEOM *g, const KC_REAL *restrict X, size_t lda, size_t nb,
                             KC_REAL *restrict acc, double *restrict out)
{
    const size_t KL = g->K * g->L;
    size_t since = 0; /* frames in the lanes */
    int first = 1;
    memset(acc, 0, nb * KL * KC_VW * sizeof *acc);
    for (size_t t0 = 0; t0 < g->Tv; t0 += g->tile) {
        const size_t t1 = t0 + g->tile < g->Tv ? t0 + g->tile : g->Tv;
        size_t r = 0;
        for (; r + KC_NR <= nb; r += KC_NR) KC_NAME(kc_wnumRows)(g, X, lda, r, KC_NR, t0, t1, acc);
        for (; r < nb; r++) KC_NAME(kc_wnumRows)(g, X, lda, r, 1, t0, t1, acc);
        since += t1 - t0;
        if (t1 == g->Tv || since >= KC_FOLD) {
            KC_NAME(kc_wfold)(g, acc, nb, first, out);
            first = 0;
            since = 0;
        }
    }
}

/* From Λ in X (frames [0, T)) and the row v of V: X = V Λε^(β-2) and, but
 * for Kullback-Leibler, Y = Λε^(β-1), with Λε = Λ + eps; both zero from T
 * to lda */
static void KC_NAME(kc_quotient)(int kind, double beta, const float *restrict v, size_t T,
                                 KC_REAL *restrict X, KC_REAL *restrict Y, size_t lda)
{
    const KC_REAL eps = (KC_REAL)KC_EPS, one = 1, p = (KC_REAL)(beta - 1.0);
    switch (kind) {
    case KC_KL:
        for (size_t t = 0; t < T; t++) X[t] = (KC_REAL)v[t] / (X[t] + eps);
        break;
    case KC_EUC:
        for (size_t t = 0; t < T; t++) {
            Y[t] = X[t] + eps;
            X[t] = (KC_REAL)v[t];
        }
        break;
    case KC_IS:
        for (size_t t = 0; t < T; t++) {
            const KC_REAL q = one / (X[t] + eps);
            Y[t] = q;
            X[t] = (KC_REAL)v[t] * q * q;
        }
        break;
    case KC_HALF:
        for (size_t t = 0; t < T; t++) {
            const KC_REAL lam = X[t] + eps, b = one / KC_SQRT(lam);
            Y[t] = b;
            X[t] = (KC_REAL)v[t] * b / lam;
        }
        break;
    case KC_THREE_HALVES:
        for (size_t t = 0; t < T; t++) {
            const KC_REAL lam = X[t] + eps, b = KC_SQRT(lam);
            Y[t] = b;
            X[t] = (KC_REAL)v[t] * b / lam;
        }
        break;
    default: {
        size_t t = 0;
#ifdef KC_VPOW
        for (; t + KC_VW <= T; t += KC_VW) {
            const KCV lam = KC_LD(X + t) + eps, b = KC_VPOW(lam, (KCV){0} + p);
            KCV x;
            for (int q = 0; q < KC_VW; q++) x[q] = (KC_REAL)v[t + (size_t)q];
            KC_ST(Y + t, b);
            KC_ST(X + t, x * b / lam);
        }
#endif
        for (; t < T; t++) {
            const KC_REAL lam = X[t] + eps, b = KC_POW(lam, p);
            Y[t] = b;
            X[t] = (KC_REAL)v[t] * b / lam;
        }
        break;
    }
    }
    memset(X + T, 0, (lda - T) * sizeof *X);
    if (kind != KC_KL) memset(Y + T, 0, (lda - T) * sizeof *Y);
}

/* d[i] += g s[i] for i < n: over H's rows (KC_REAL), and in the double
 * copies over the Gram matrices */
static void KC_NAME(kc_axpyh)(double *restrict d, double g, const KC_REAL *restrict s, size_t n)
{
    for (size_t i = 0; i < n; i++) d[i] += g * s[i];
}

#if !KC_SINGLE
static void KC_NAME(kc_axpy)(double *restrict d, double g, const double *restrict s, size_t n)
{
    for (size_t i = 0; i < n; i++) d[i] += g * s[i];
}
#endif

#undef KC_LD
#undef KC_ST
#undef KCV
#undef KC_INLINE
#undef KC_NAME
#undef KC_CAT
#undef KC_CAT2
#undef KC_REAL
#undef KC_GEOM
#undef KC_SQRT
#undef KC_POW
#undef KC_FOLD
#undef KC_SINGLE
#undef KC_VW
#undef KC_NV
#undef KC_NR
#undef KC_SUFFIX
#undef KC_VPOW
