/* The β-divergence's cells, one copy per instruction set: the includer
 * defines KC_VW (doubles per vector) and KC_SUFFIX, KC_VLOG and KC_VPOW, the
 * C library's vector log and power of that width, and KC_VSQRT, and wraps the
 * inclusion in the matching target pragma. They are undefined at the end.
 * The cells are those of kve_betaCell, with its floors. */

#define KC_CAT2(a, b) a##b
#define KC_CAT(a, b) KC_CAT2(a, b)
#define KC_NAME(n) KC_CAT(n, KC_SUFFIX)

typedef double KC_NAME(kc_vec) __attribute__((vector_size(KC_VW * sizeof(double))));
typedef long long KC_NAME(kc_mask) __attribute__((vector_size(KC_VW * sizeof(double))));
typedef float KC_NAME(kc_fvec) __attribute__((vector_size(KC_VW * sizeof(float))));
#define KD KC_NAME(kc_vec)
#define KM KC_NAME(kc_mask)

KD KC_VLOG(KD);
KD KC_VPOW(KD, KD);

/* a where m, else b */
static inline __attribute__((always_inline)) KD KC_NAME(kc_pick)(KM m, KD a, KD b)
{
    return (KD)(((KM)a & m) | ((KM)b & ~m));
}
#define PICK KC_NAME(kc_pick)

static void KC_NAME(kc_cells)(double beta, const float *v, size_t step, double *y, size_t n)
{
    const double lo = beta < 1.0 ? DBL_EPSILON : 1e-300;
    const KD zero = {0}, one = zero + 1.0, low = zero + lo, eps = zero + DBL_EPSILON;
    size_t i = 0;
    for (; i + KC_VW <= n; i += KC_VW) {
        KD x, q, r;
        if (step == 1) {
            KC_NAME(kc_fvec) f;
            memcpy(&f, v + i, sizeof f);
            x = __builtin_convertvector(f, KD);
        } else {
            for (int l = 0; l < KC_VW; l++) x[l] = v[(i + (size_t)l) * step];
        }
        memcpy(&q, y + i, sizeof q);
        const KD m = PICK(q > low, q, low); /* a NaN goes to the floor too */
        if (beta == 1.0) {
            const KM some = x > zero;
            q = x / m;
            r = PICK(some, x * KC_VLOG(PICK(some, q, one)) - x + m, m);
        } else if (beta == 0.0) {
            x = PICK(x < eps, eps, x);
            q = x / m;
            r = q - KC_VLOG(q) - 1.0;
        } else if (beta == 2.0) {
            r = 0.5 * (x - m) * (x - m);
        } else if (beta == 0.5) {
            const KD yb1 = 1.0 / KC_VSQRT(m);
            r = (KC_VSQRT(x) - 0.5 * yb1 * m - 0.5 * x * yb1) / -0.25;
        } else {
            if (beta <= 0.0) x = PICK(x < eps, eps, x);
            const KD yb1 = KC_VPOW(m, zero + (beta - 1.0));
            r = (KC_VPOW(x, zero + beta) + (beta - 1.0) * yb1 * m - beta * x * yb1) /
                (beta * (beta - 1.0));
        }
        memcpy(y + i, &r, sizeof r);
    }
    for (; i < n; i++) y[i] = kve_betaCell(beta, v[i * step], y[i]);
}

#undef PICK
#undef KD
#undef KM
#undef KC_VW
#undef KC_SUFFIX
#undef KC_VLOG
#undef KC_VPOW
#undef KC_VSQRT
