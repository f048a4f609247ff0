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

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define MB_X86 1
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx2,fma")
#define MB_VW 8
#define MB_SUFFIX _avx512
#ifdef KV_HAVE_MVEC
#define MB_VPOW _ZGVeN8vv_pow
#endif
#include "model_beta_kern.h"
#undef MB_VPOW
#undef MB_VW
#undef MB_SUFFIX
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,fma")
#define MB_VW 4
#define MB_SUFFIX _avx2
#ifdef KV_HAVE_MVEC
#define MB_VPOW _ZGVdN4vv_pow
#endif
#include "model_beta_kern.h"
#undef MB_VPOW
#undef MB_VW
#undef MB_SUFFIX
#pragma GCC pop_options
#endif

/* the fallback, kept small: no copies per K */
#define MB_VW 2
#define MB_SUFFIX _base
#define MB_ANY_K 1
#if defined(KV_HAVE_MVEC) && defined(MB_X86)
#define MB_VPOW _ZGVbN2vv_pow
#endif
#include "model_beta_kern.h"
#undef MB_ANY_K
#undef MB_VPOW
#undef MB_VW
#undef MB_SUFFIX

typedef void (*mb_wfn)(int, const kve_betaPar *, const float *, size_t, size_t, const double *,
                       const double *, size_t, int, size_t, size_t, size_t, size_t, double *,
                       double *);
typedef void (*mb_hfn)(int, const kve_betaPar *, const float *, size_t, size_t, const double *,
                       const double *, size_t, int, size_t, size_t, size_t, size_t, double *,
                       double *, size_t);

typedef struct {
    size_t vw;
    mb_wfn wpass;
    mb_hfn hpass;
} mb_impl;

static mb_impl mb_choose(void)
{
#ifdef MB_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("fma"))
        return (mb_impl){8, mb_wpass_avx512, mb_hpass_avx512};
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return (mb_impl){4, mb_wpass_avx2, mb_hpass_avx2};
#endif
    return (mb_impl){2, mb_wpass_base, mb_hpass_base};
}

/* parts of the rows with their own H sums; below MB_THREAD_WORK multiply-adds
 * per round one part (and one thread) */
enum { MB_PARTS = 2 };
#define MB_THREAD_WORK 400000.0

typedef struct {
    const kve_model *m;
    const float *V;
    double *W;    /* F x K */
    double *H;    /* K x ldh: the working copy, zero past T */
    double *Hout; /* K x T: the caller's, given the working copy for the penalties */
    size_t F, T, K, ldh, Tv;
    int mode, den; /* den: b is not 1, its sums are made */
    int penH;      /* penalties or continuity on H */
    double gamma;
    kve_betaPar par;
    mb_impl impl;
    size_t rows, tile, wtile; /* rows per block, frames per H and W tile */
    int parts;
    double *num[MB_PARTS], *dsum[MB_PARTS]; /* K x ldh each */
    /* the run */
    int iter, stop;
    int (*onRound)(int, int, void *);
    void *user;
    double *base;
    size_t share; /* doubles of each thread's scratch */
    kve_team team;
} mb_run;

/* one thread's scratch */
typedef struct {
    double *an, *ad; /* rows x K vectors: the block's W sums by lane */
    double *rn, *rd; /* rows x K: the same summed */
    double *sums;    /* K: column sums of W or row sums of H */
} mb_mine;

static void mb_sync(const mb_run *run, int nt)
{
    kve_teamSync(&run->team, nt);
}

static double mb_power(double r, double gamma)
{
    return gamma == 1.0 ? r : gamma == 0.5 ? sqrt(r) : pow(r, gamma);
}

/* rows of part c */
static size_t mb_partStart(const mb_run *run, int c)
{
    return run->F * (size_t)c / (size_t)run->parts;
}

/* the W update of the rows [f0, f1) with the current H */
static void mb_wrows(const mb_run *run, const mb_mine *me, size_t f0, size_t f1)
{
    const size_t nK = run->K, vw = run->impl.vw, nr = f1 - f0;
    memset(me->an, 0, nr * nK * vw * sizeof *me->an);
    if (run->den) memset(me->ad, 0, nr * nK * vw * sizeof *me->ad);
    for (size_t t0 = 0; t0 < run->Tv; t0 += run->wtile) {
        const size_t t1 = t0 + run->wtile < run->Tv ? t0 + run->wtile : run->Tv;
        run->impl.wpass(run->mode, &run->par, run->V, run->T, run->T, run->W, run->H, run->ldh,
                        (int)nK, f0, f1, t0, t1, me->an, me->ad);
    }
    for (size_t i = 0; i < nr * nK; i++) {
        double s = 0.0, d = 0.0;
        for (size_t l = 0; l < vw; l++) s += me->an[i * vw + l];
        if (run->den)
            for (size_t l = 0; l < vw; l++) d += me->ad[i * vw + l];
        else
            d = me->sums[i % nK];
        me->rn[i] = s;
        me->rd[i] = d;
    }
    double *w = run->W + f0 * nK;
    kve_penaltyW(run->m, w, (int)nr, (int)nK, me->rn, me->rd);
    for (size_t i = 0; i < nr * nK; i++)
        w[i] *= mb_power(me->rn[i] / (me->rd[i] + run->par.eps), run->gamma);
}

/* part c's H sums += those of the rows [f0, f1) */
static void mb_hrows(const mb_run *run, int c, size_t f0, size_t f1)
{
    for (size_t t0 = 0; t0 < run->Tv; t0 += run->tile) {
        const size_t t1 = t0 + run->tile < run->Tv ? t0 + run->tile : run->Tv;
        run->impl.hpass(run->mode, &run->par, run->V, run->T, run->T, run->W, run->H, run->ldh,
                        (int)run->K, f0, f1, t0, t1, run->num[c], run->dsum[c], run->rows * run->T);
    }
}

/* One sweep over the parts of thread id of nt: W updated (unless noW), then
 * the H sums made (unless noH) */
static void mb_sweep(const mb_run *run, const mb_mine *me, int id, int nt, int noW, int noH)
{
    for (int c = id; c < run->parts; c += nt) {
        const size_t e = mb_partStart(run, c + 1);
        for (size_t fb = mb_partStart(run, c); fb < e; fb += run->rows) {
            const size_t fe = fb + run->rows < e ? fb + run->rows : e;
            if (!noW) mb_wrows(run, me, fb, fe);
            if (!noH) mb_hrows(run, c, fb, fe);
        }
    }
}

static void mb_report(mb_run *run, int done)
{
    if (run->onRound && run->onRound(done, run->iter, run->user) != 0) run->stop = 1;
}

static void mb_rounds(mb_run *run, int id, int nt)
{
    const size_t nK = run->K, nT = run->T, ldh = run->ldh;
    double *share = run->base + run->share * (size_t)id;
    const size_t acc = run->rows * nK * run->impl.vw;
    mb_mine me = {share, share + acc, share + 2 * acc, share + 2 * acc + run->rows * nK,
                  share + 2 * acc + 2 * run->rows * nK};
    const size_t u0 = nT * (size_t)id / (size_t)nt, u1 = nT * (size_t)(id + 1) / (size_t)nt;
    const int sumsInDen = run->den || run->penH; /* the H denominators as an array */

    mb_sweep(run, &me, id, nt, 1, 0);
    for (int i = 0; i < run->iter; i++) {
        mb_sync(run, nt);
        if (id == 0 && i > 0) mb_report(run, i);
        if (!run->den) /* the H denominators: column sums of W */
            for (size_t k = 0; k < nK; k++) {
                double s = 0.0;
                for (size_t f = 0; f < run->F; f++) s += run->W[f * nK + k];
                me.sums[k] = s;
            }
        /* the parts' sums, in part order, into part 0's */
        for (size_t k = 0; k < nK; k++)
            for (size_t t = u0; t < u1; t++) {
                const size_t j = k * ldh + t;
                double s = run->num[0][j], d = run->den ? run->dsum[0][j] : me.sums[k];
                for (int c = 1; c < run->parts; c++) {
                    s += run->num[c][j];
                    run->num[c][j] = 0.0;
                    if (run->den) {
                        d += run->dsum[c][j];
                        run->dsum[c][j] = 0.0;
                    }
                }
                run->num[0][j] = s;
                if (sumsInDen) run->dsum[0][j] = d;
            }
        if (run->penH) {
            mb_sync(run, nt);
            if (id == 0) {
                for (size_t k = 0; k < nK; k++)
                    memcpy(run->Hout + k * nT, run->H + k * ldh, nT * sizeof *run->H);
                kve_penaltyH(run->m, run->Hout, (int)nK, (int)nT, run->num[0], run->dsum[0],
                             (int)ldh);
            }
            mb_sync(run, nt);
        }
        for (size_t k = 0; k < nK; k++)
            for (size_t t = u0; t < u1; t++) {
                const size_t j = k * ldh + t;
                const double d = sumsInDen ? run->dsum[0][j] : me.sums[k];
                run->H[j] *= mb_power(run->num[0][j] / (d + run->par.eps), run->gamma);
                run->num[0][j] = 0.0;
                if (sumsInDen) run->dsum[0][j] = 0.0;
            }
        mb_sync(run, nt);
        if (run->stop) break; /* every thread sees it after the same barrier */
        if (!run->den)        /* the W denominators: row sums of the new H */
            for (size_t k = 0; k < nK; k++) {
                double s = 0.0;
                for (size_t t = 0; t < nT; t++) s += run->H[k * ldh + t];
                me.sums[k] = s;
            }
        mb_sweep(run, &me, id, nt, 0, i + 1 == run->iter);
    }
    mb_sync(run, nt);
    if (id == 0 && !run->stop) mb_report(run, run->iter);
}

static void mb_body(void *job, int id, int nt)
{
    mb_rounds(job, id, nt);
}

static void mb_team(mb_run *run, int nth)
{
    kve_teamRun(&run->team, nth, mb_body, run);
}

/* The exponent that keeps the updates a descent of the divergence */
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

/* a * b into *out, 0 when it would wrap */
static int mb_mul(size_t a, size_t b, size_t *out)
{
    if (a && b > SIZE_MAX / a) return 0;
    *out = a * b;
    return 1;
}

int kve_modelRounds(const kve_model *m, const float *V, int rows, int frames, int K, double *W,
                    double *H, int n, int (*onRound)(int, int, void *), void *user)
{
    if (m->span > 1) return kve_convolutiveRounds(m, V, rows, frames, K, W, H, n, onRound, user);
    if (rows < 1 || frames < 1 || K < 1 || n < 1) {
        for (int i = 1; i <= n; i++)
            if (onRound && onRound(i, n, user) != 0) return 1;
        return 0;
    }
    mb_run run;
    memset(&run, 0, sizeof run);
    run.m = m;
    run.V = V;
    run.W = W;
    run.Hout = H;
    run.F = (size_t)rows;
    run.T = (size_t)frames;
    run.K = (size_t)K;
    run.mode = mb_modeOf(m->beta);
    run.den = run.mode != MB_KL;
    run.penH = m->l1H != 0.0 || m->l2H != 0.0 || m->continuity != 0.0;
    run.gamma = mb_gamma(m->beta);
    run.par.eps = DBL_EPSILON;
    run.par.vfloor = m->beta <= 0.0 ? DBL_EPSILON : 0.0;
    run.par.beta1 = m->beta - 1.0;
    run.impl = mb_choose();
    run.iter = n;
    run.onRound = onRound;
    run.user = user;

    /* the shape: H rows an odd number of cache lines apart; tiles of H of
     * about 8 KiB in the H pass and 16 KiB in the W pass; blocks of V of
     * about 256 KiB */
    const size_t vw = run.impl.vw, nK = run.K, nT = run.T;
    run.Tv = (nT + vw - 1) / vw * vw;
    run.ldh = (nT + 7) / 8 * 8;
    if ((run.ldh / 8) % 2 == 0) run.ldh += 8;
    run.tile = (1024 / nK) / vw * vw;
    if (run.tile < vw) run.tile = vw;
    run.wtile = (2048 / nK) / vw * vw;
    if (run.wtile < vw) run.wtile = vw;
    run.rows = 65536 / nT;
    run.rows = run.rows < 2 ? 2 : run.rows > 64 ? 64 : run.rows;
    const double work = (double)rows * (double)frames * (double)K;
    run.parts = work >= MB_THREAD_WORK && rows >= MB_PARTS ? MB_PARTS : 1;
    int nth = kve_teamMost();
    if (nth > run.parts) nth = run.parts;
    if (nth < 1) nth = 1;

    /* one block: the working H, the parts' sums, each thread's share */
    size_t kh, acc, shares, total;
    if (!mb_mul(nK, run.ldh, &kh) || !mb_mul(run.rows * nK, vw, &acc)) return -1;
    const size_t share = (2 * acc + 2 * run.rows * nK + nK + 7) / 8 * 8;
    if (!mb_mul(kh, 1 + 2 * (size_t)run.parts, &total) || !mb_mul(share, (size_t)nth, &shares) ||
        total > SIZE_MAX / sizeof(double) - shares - 8)
        return -1;
    total += shares + 8;
    double *block = calloc(total, sizeof *block);
    if (!block) return -1;
    run.H = (double *)(((uintptr_t)block + 63) & ~(uintptr_t)63);
    for (int c = 0; c < run.parts; c++) {
        run.num[c] = run.H + kh * (1 + 2 * (size_t)c);
        run.dsum[c] = run.num[c] + kh;
    }
    run.base = run.H + kh * (1 + 2 * (size_t)run.parts);
    run.share = share;
    for (size_t k = 0; k < nK; k++) memcpy(run.H + k * run.ldh, H + k * nT, nT * sizeof *H);

    mb_team(&run, nth);

    for (size_t k = 0; k < nK; k++) memcpy(H + k * nT, run.H + k * run.ldh, nT * sizeof *H);
    free(block);
    return run.stop ? 1 : 0;
}
