/* The model's rounds for bases of one frame: multiplicative β-divergence
 * updates (H, then W with the new H), each ratio raised to the power that
 * makes the divergence fall at every round, the penalties' gradients added
 * by sign.
 *
 * The loops follow the object library's fused rounds: no F x T matrix, one
 * sweep over blocks of rows of V per round in which a block first finishes
 * its W update, then, with the new rows and while V is in cache, adds its
 * share to the next round's H sums. The rows are cut into a fixed number of
 * parts, each with its own H sums, added in part order: threads take whole
 * parts, so the result is the same on any number of them. */
#include <float.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "model_internal.h"

/* how a and b are made from V and the approximation */
enum { MB_IS, MB_HALF, MB_KL, MB_THREEHALF, MB_EUCL, MB_POW };

typedef struct kve_betaPar {
    double eps;    /* added to every approximation and denominator */
    double vfloor; /* V below it counts as it (beta <= 0), else 0 */
    double beta1;  /* beta - 1 */
} kve_betaPar;

/* the kernels: per instruction set, in double and in single precision */
/* GCC's target pragma; clang (the fuzz build) takes the portable kernels */
#if defined(__GNUC__) && !defined(__clang__) && (defined(__x86_64__) || defined(__i386__))
#define MB_X86 1
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx2,fma")
#define MB_SINGLE 0
#define MB_VW 8
#define MB_SUFFIX _avx512
#ifdef KV_HAVE_MVEC
#define MB_VPOW _ZGVeN8vv_pow
#endif
#include "model_beta_kern.h"
#define MB_SINGLE 1
#define MB_VW 16
#define MB_SUFFIX _avx512s
#define MB_RCP(y) __builtin_ia32_rcp14ps512_mask((y), (KV){0}, (unsigned short)-1)
#ifdef KV_HAVE_MVEC
#define MB_VPOW _ZGVeN16vv_powf
#endif
#include "model_beta_kern.h"
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,fma")
#define MB_SINGLE 0
#define MB_VW 4
#define MB_SUFFIX _avx2
#ifdef KV_HAVE_MVEC
#define MB_VPOW _ZGVdN4vv_pow
#endif
#include "model_beta_kern.h"
#define MB_SINGLE 1
#define MB_VW 8
#define MB_SUFFIX _avx2s
#define MB_RCP(y) __builtin_ia32_rcpps256(y)
#ifdef KV_HAVE_MVEC
#define MB_VPOW _ZGVdN8vv_powf
#endif
#include "model_beta_kern.h"
#pragma GCC pop_options
#endif

/* the fallbacks, kept small: no copies per K */
#define MB_ANY_K 1
#define MB_SINGLE 0
#define MB_VW 2
#define MB_SUFFIX _base
#if defined(KV_HAVE_MVEC) && defined(MB_X86)
#define MB_VPOW _ZGVbN2vv_pow
#endif
#include "model_beta_kern.h"
#define MB_SINGLE 1
#define MB_VW 4
#define MB_SUFFIX _bases
#ifdef MB_X86
#define MB_RCP(y) __builtin_ia32_rcpps(y)
#ifdef KV_HAVE_MVEC
#define MB_VPOW _ZGVbN4vv_powf
#endif
#endif
#include "model_beta_kern.h"
#undef MB_ANY_K

/* parts of the rows with their own H sums; below MB_THREAD_WORK multiply-adds
 * per round one part (and one thread) */
enum { MB_PARTS = 2 };
#define MB_THREAD_WORK 400000.0

static double mb_power(double r, double gamma)
{
    if (gamma == 1.0) return r;
    if (gamma == 0.5) return sqrt(r);
    if (gamma == 1.5) return r * sqrt(r);
    if (gamma == 1.75) {
        const double s = sqrt(r);
        return r * s * sqrt(s);
    }
    return pow(r, gamma);
}

/* The exponent that keeps the updates a descent of the divergence (over
 * relaxed, it is this times kve_modelRelax) */
static double mb_gamma(double beta)
{
    return beta < 1.0 ? 1.0 / (2.0 - beta) : beta > 2.0 ? 1.0 / (beta - 1.0) : 1.0;
}

static int mb_modeOf(double beta)
{
    return beta == 0.0   ? MB_IS
           : beta == 0.5 ? MB_HALF
           : beta == 1.0 ? MB_KL
           : beta == 1.5 ? MB_THREEHALF
           : beta == 2.0 ? MB_EUCL
                         : MB_POW;
}

/* past mb_panelPast bytes of H and its sums the frames go in panels of
 * about mb_panelBytes, which stay in the second cache level */
#define MB_PANEL_PAST ((size_t)2 << 20)
#define MB_PANEL_BYTES ((size_t)512 << 10)
static size_t mb_panelPast = MB_PANEL_PAST, mb_panelBytes = MB_PANEL_BYTES;

void kve_modelPanels(size_t past, size_t bytes)
{
    mb_panelPast = past || bytes ? past : MB_PANEL_PAST;
    mb_panelBytes = past || bytes ? bytes : MB_PANEL_BYTES;
}

#define MR_SINGLE 0
#include "model_rounds_loop.h"
#define MR_SINGLE 1
#include "model_rounds_loop.h"

int kve_modelRounds(const kve_model *m, const float *V, int rows, int frames, int K, double *W,
                    double *H, int n, int (*onRound)(int, int, void *), void *user)
{
    return kve_modelRoundsIn(KVE_DOUBLE, m, V, rows, frames, K, 0, W, H, n, onRound, user);
}

int kve_modelRoundsIn(int precision, const kve_model *m, const float *V, int rows, int frames,
                      int K, int keep, double *W, double *H, int n,
                      int (*onRound)(int, int, void *), void *user)
{
    if (m->span > 1)
        return kve_convolutiveRoundsIn(precision, m, V, rows, frames, K, W, H, n, onRound, user);
    if (rows < 1 || frames < 1 || K < 1 || n < 1) {
        for (int i = 1; i <= n; i++)
            if (onRound && onRound(i, n, user) != 0) return 1;
        return 0;
    }
    if (precision == KVE_SINGLE)
        return mr_modelRounds_s(m, V, rows, frames, K, keep, W, H, n, onRound, user);
    return mr_modelRounds_d(m, V, rows, frames, K, keep, W, H, n, onRound, user);
}
