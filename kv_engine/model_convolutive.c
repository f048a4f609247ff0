/* Convolutive bases: multiplicative updates of the β-divergence for
 *   Λ[r][t] = sum_l sum_k W_l[r][k] H[k][t - l],
 * with A = V Λε^(β-2) and B = Λε^(β-1) (Λε = Λ + eps):
 *   H[k][t] *= sum_l (W_l' A)[k][t + l] / (sum_l (W_l' B)[k][t + l] + eps)
 *   W_l[r][k] *= sum_t A[r][t] H[k][t - l] / (sum_t B[r][t] H[k][t - l] + eps)
 * H first, then every W_l with the new H. Both are the plain updates of a
 * model linear in H (and in W), so the cost falls as it does for plain NMF;
 * H takes the sums over l, not their mean.
 *
 * One sweep over blocks of rows of V per round, as in the plain blocked
 * loops: a block makes Λ with the new H, finishes its rows of W, then makes
 * Λ again with its new rows and adds its share to the next round's H sums
 * while the block is in cache. Only a block of rows x frames is formed.
 * The rows are cut into slabs fixed by the sizes alone, each with its own H
 * sums, added in slab order: the result is the same on any thread count
 * (for a given instruction set). Kullback-Leibler needs no sums with B = 1
 * but those of W and H; Euclidean, where A is V, takes the sums with B from
 * the Gram matrices of W and of H's shifted rows and makes no Λ at all;
 * other β make both with pow.
 *
 * In double or in single precision (model_convolutive_loop.h), the same
 * kernels for both (model_convolutive_kern.h). */
#include "model_internal.h"

#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define KC_EPS 2.220446049250313e-16

/* the β with their own arithmetic: 1, 2, 0, 1/2 and 3/2 (square roots) */
enum { KC_KL, KC_EUC, KC_IS, KC_HALF, KC_THREE_HALVES, KC_GENERAL };

/* what the kernels read: H padded, and the sizes; one per precision */
#define KC_GEOMETRY(real, name)                                                                    \
    typedef struct {                                                                               \
        const real *Hp;    /* K rows of ldp: H[k][t - l] at Hp[k ldp + P + t - l] */               \
        const size_t *off; /* K L: k ldp + P - l for j = l K + k */                                \
        size_t ldp, P;                                                                             \
        size_t K, L, Tv; /* Tv: the frames rounded up to 4 vectors of the widest copy */           \
        size_t tile;     /* frames per tile, a multiple of that */                                 \
    } name;
KC_GEOMETRY(double, kc_geom_d)
KC_GEOMETRY(float, kc_geom_s)
#undef KC_GEOMETRY

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define KC_X86 1
/* each copy compiled for its instruction set: GCC's target pragma, or
 * clang's target attribute on every function of the copy */
#ifdef __clang__
#define KC_AVX512                                                                                  \
    _Pragma(                                                                                       \
        "clang attribute push(__attribute__((target(\"avx512f,avx512vl,avx512dq,avx2,fma\"))), \
            apply_to = function)")
#define KC_AVX2                                                                                    \
    _Pragma("clang attribute push(__attribute__((target(\"avx2,fma\"))), apply_to = function)")
#define KC_END _Pragma("clang attribute pop")
#else
#define KC_AVX512                                                                                  \
    _Pragma("GCC push_options") _Pragma("GCC target(\"avx512f,avx512vl,avx512dq,avx2,fma\")")
#define KC_AVX2 _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,fma\")")
#define KC_END _Pragma("GCC pop_options")
#endif

KC_AVX512
#define KC_SINGLE 0
#define KC_VW 8
#define KC_NV 4
#define KC_NR 4
#define KC_SUFFIX _avx512
#include "model_convolutive_kern.h"
#define KC_SINGLE 1
#define KC_VW 16
#define KC_NV 4
#define KC_NR 4
#define KC_SUFFIX _avx512s
#ifdef KV_HAVE_MVEC
#define KC_VPOW _ZGVeN16vv_powf
#endif
#include "model_convolutive_kern.h"
KC_END

KC_AVX2
#define KC_SINGLE 0
#define KC_VW 4
#define KC_NV 2
#define KC_NR 2
#define KC_SUFFIX _avx2
#include "model_convolutive_kern.h"
#define KC_SINGLE 1
#define KC_VW 8
#define KC_NV 2
#define KC_NR 2
#define KC_SUFFIX _avx2s
#ifdef KV_HAVE_MVEC
#define KC_VPOW _ZGVdN8vv_powf
#endif
#include "model_convolutive_kern.h"
KC_END
#endif

#define KC_SINGLE 0
#define KC_VW 2
#define KC_NV 2
#define KC_NR 2
#define KC_SUFFIX _base
#include "model_convolutive_kern.h"
#define KC_SINGLE 1
#define KC_VW 4
#define KC_NV 2
#define KC_NR 2
#define KC_SUFFIX _bases
#if defined(KV_HAVE_MVEC) && defined(KC_X86)
#define KC_VPOW _ZGVbN4vv_powf
#endif
#include "model_convolutive_kern.h"

/* Below this many cells x components x span a second thread costs more than
 * it saves. */
#define KC_THREAD_WORK 400000.0
enum { KC_MOST_SLABS = 8, KC_SLAB_ROWS = 64 };

static size_t kc_up(size_t n, size_t to)
{
    return (n + to - 1) / to * to;
}

/* n += a * b values of z bytes, in whole cache lines; 0 when the bytes (and
 * some) would wrap */
static int kc_add(size_t *n, size_t a, size_t b, size_t z)
{
    const size_t most = SIZE_MAX / 2;
    if (b && a > most / b) return 0;
    if (a * b > (most - 64) / z) return 0;
    const size_t bytes = kc_up(a * b * z, 64);
    if (*n > most - bytes) return 0;
    *n += bytes;
    return 1;
}

/* n values of z bytes from *at, which moves on by whole cache lines */
static void *kc_take(unsigned char **at, size_t n, size_t z)
{
    void *p = *at;
    *at += kc_up(n * z, 64);
    return p;
}

static int kc_kind(double beta)
{
    return beta == 1.0   ? KC_KL
           : beta == 2.0 ? KC_EUC
           : beta == 0.0 ? KC_IS
           : beta == 0.5 ? KC_HALF
           : beta == 1.5 ? KC_THREE_HALVES
                         : KC_GENERAL;
}

#define KC_SINGLE 0
#include "model_convolutive_loop.h"
#define KC_SINGLE 1
#include "model_convolutive_loop.h"

int kve_convolutiveRoundsIn(int precision, const kve_model *m, const float *V, int rows, int frames,
                            int K, double *W, double *H, int n, int (*onRound)(int, int, void *),
                            void *user)
{
    if (n <= 0) return 0;
    if (rows < 1 || frames < 1 || K < 1 || m->span < 1) {
        /* nothing to update: the rounds are still reported, and may stop */
        for (int i = 1; i <= n; i++)
            if (onRound && onRound(i, n, user) != 0) return 1;
        return 0;
    }
    if (precision == KVE_SINGLE)
        return kc_convolutive_s(m, V, rows, frames, K, W, H, n, onRound, user);
    return kc_convolutive_d(m, V, rows, frames, K, W, H, n, onRound, user);
}

int kve_convolutiveRounds(const kve_model *m, const float *V, int rows, int frames, int K,
                          double *W, double *H, int n, int (*onRound)(int, int, void *), void *user)
{
    return kve_convolutiveRoundsIn(KVE_DOUBLE, m, V, rows, frames, K, W, H, n, onRound, user);
}

void kve_convolutiveStart(const double *W0, const double *H0, int rows, int frames, int K, int span,
                          double *W, double *H)
{
    /* p_l = 2 (span - l) / (span (span + 1)): falling, summing to 1, so that
     * Λ is W0 H0 smoothed over the span and H needs no scaling */
    const size_t nW = (size_t)rows * (size_t)K;
    for (int l = 0; l < span; l++) {
        const double p = 2.0 * (double)(span - l) / ((double)span * (double)(span + 1));
        for (size_t i = 0; i < nW; i++) W[(size_t)l * nW + i] = W0[i] * p;
    }
    memcpy(H, H0, (size_t)K * (size_t)frames * sizeof *H);
}

void kve_expandConvolutive(const double *W, const double *H, int rows, int frames, int K, int span,
                           double *We, double *He)
{
    const size_t R = (size_t)rows, T = (size_t)frames, nK = (size_t)K, L = (size_t)span;
    for (size_t r = 0; r < R; r++)
        for (size_t k = 0; k < nK; k++)
            for (size_t l = 0; l < L; l++) We[r * nK * L + k * L + l] = W[(l * R + r) * nK + k];
    for (size_t k = 0; k < nK; k++)
        for (size_t l = 0; l < L; l++) {
            double *he = He + (k * L + l) * T;
            const size_t z = l < T ? l : T;
            memset(he, 0, z * sizeof *he);
            memcpy(he + z, H + k * T, (T - z) * sizeof *he);
        }
}
