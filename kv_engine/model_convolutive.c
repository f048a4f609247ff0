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
 * other β make both with pow. */
#include "model_internal.h"

#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define KC_EPS 2.220446049250313e-16
/* the most doubles in a vector of any kernel copy, and the most frames a
 * kernel takes at a time (four times that) */
#define KC_LANES 8

/* the β with their own arithmetic: 1, 2, 0, 1/2 and 3/2 (square roots) */
enum { KC_KL, KC_EUC, KC_IS, KC_HALF, KC_THREE_HALVES, KC_GENERAL };

/* what the kernels read: H padded, and the sizes */
typedef struct {
    const double *Hp;  /* K rows of ldp: H[k][t - l] at Hp[k ldp + P + t - l] */
    const size_t *off; /* K L: k ldp + P - l for j = l K + k */
    size_t ldp, P;
    size_t K, L, Tv; /* Tv: the frames rounded up to 4 KC_LANES */
    size_t tile;     /* frames per tile, a multiple of 4 KC_LANES */
} kc_geom;

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
#define KC_VW 8
#define KC_NV 4
#define KC_NR 4
#define KC_SUFFIX _avx512
#include "model_convolutive_kern.h"
#undef KC_SUFFIX
#undef KC_VW
#undef KC_NV
#undef KC_NR
KC_END

KC_AVX2
#define KC_VW 4
#define KC_NV 2
#define KC_NR 2
#define KC_SUFFIX _avx2
#include "model_convolutive_kern.h"
#undef KC_SUFFIX
#undef KC_VW
#undef KC_NV
#undef KC_NR
KC_END
#endif

#define KC_VW 2
#define KC_NV 2
#define KC_NR 2
#define KC_SUFFIX _base
#include "model_convolutive_kern.h"
#undef KC_SUFFIX
#undef KC_VW
#undef KC_NV
#undef KC_NR

typedef struct {
    void (*lam)(const kc_geom *, const double *, size_t, double *, size_t);
    void (*hnum)(const kc_geom *, const double *, size_t, const double *, size_t, double *, size_t);
    void (*wnum)(const kc_geom *, const double *, size_t, size_t, double *, double *);
    void (*quotient)(int, double, const float *, size_t, double *, double *, size_t);
    void (*axpy)(double *, double, const double *, size_t);
} kc_impl;

static kc_impl kc_choose(void)
{
#ifdef KC_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("fma"))
        return (kc_impl){kc_lam_avx512, kc_hnum_avx512, kc_wnum_avx512, kc_quotient_avx512,
                         kc_axpy_avx512};
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return (kc_impl){kc_lam_avx2, kc_hnum_avx2, kc_wnum_avx2, kc_quotient_avx2, kc_axpy_avx2};
#endif
    return (kc_impl){kc_lam_base, kc_hnum_base, kc_wnum_base, kc_quotient_base, kc_axpy_base};
}

/* Below this many cells x components x span a second thread costs more than
 * it saves. */
#define KC_THREAD_WORK 400000.0
enum { KC_MOST_SLABS = 8, KC_SLAB_ROWS = 64 };

/* one thread's scratch */
typedef struct {
    double *wc;      /* rb x K L: the block's W, l K + k */
    double *X, *Y;   /* rb x lda: Λ, then A and B */
    double *acc;     /* rb x K L x KC_LANES: W sums by lane */
    double *nW, *dW; /* rb x K L: the W update's sums, (l nb + r) K + k */
} kc_mine;

typedef struct {
    const kve_model *m;
    const float *V;
    double *W, *H;
    size_t R, T, K, L;
    int kind;
    kc_geom g;
    kc_impl impl;
    size_t lda;      /* row stride of X and Y: Tv and the span's overhang */
    size_t ldn;      /* row stride of the H sums */
    size_t rb;       /* rows per block */
    size_t slabs;    /* slabs of rows, each with its own H sums */
    int gram;        /* Euclidean through the Gram matrices */
    double *Hp;      /* the padded H of g */
    size_t *off;     /* the offsets of g */
    double *parts;   /* slabs x 2 x K x ldn: each slab's H sums (num, den) */
    double *colSums; /* K L: sum_r W_l[r][k] */
    double *rowSums; /* K L: sum_t H[k][t - l] */
    double *gramW;   /* K L x K L: sum_r W_l[r][k] W_l'[r][k'] (Euclidean) */
    double *gramH;   /* K L x K L: sum_t H[k][t - l] H[k'][t - l'] (Euclidean) */
    double *shares;  /* per thread scratch, share doubles apart */
    size_t share;
    int n, stop;
    int (*onRound)(int, int, void *);
    void *user;
    kve_team team;
} kc_run;

static size_t kc_up(size_t n, size_t to)
{
    return (n + to - 1) / to * to;
}

/* a row length of whole cache lines, an odd number of them */
static size_t kc_stride(size_t n)
{
    n = kc_up(n, 8);
    return (n / 8) % 2 ? n : n + 8;
}

static void kc_sync(const kc_run *run, int nt)
{
    kve_teamSync(&run->team, nt);
}

static kc_mine kc_mineOf(const kc_run *run, int id)
{
    const size_t KL = run->K * run->L, rb = run->rb;
    kc_mine me;
    me.wc = run->shares + run->share * (size_t)id;
    me.X = me.wc + kc_up(rb * KL, 8);
    me.Y = me.X + rb * run->lda;
    me.acc = me.Y + rb * run->lda;
    me.nW = me.acc + rb * KL * KC_LANES;
    me.dW = me.nW + kc_up(rb * KL, 8);
    return me;
}

/* the block's W as rows of K L values */
static void kc_gather(const kc_run *run, size_t g0, size_t nb, double *wc)
{
    const size_t K = run->K, KL = K * run->L;
    for (size_t r = 0; r < nb; r++)
        for (size_t l = 0; l < run->L; l++)
            memcpy(wc + r * KL + l * K, run->W + (l * run->R + g0 + r) * K, K * sizeof *wc);
}

/* Λ of the rows [g0, g0 + nb), then A in X and B in Y */
static void kc_quotients(const kc_run *run, const kc_mine *me, size_t g0, size_t nb)
{
    kc_gather(run, g0, nb, me->wc);
    run->impl.lam(&run->g, me->wc, nb, me->X, run->lda);
    for (size_t r = 0; r < nb; r++)
        run->impl.quotient(run->kind, run->m->beta, run->V + (g0 + r) * run->T, run->T,
                           me->X + r * run->lda, me->Y + r * run->lda, run->lda);
}

/* the W update of the rows [g0, g0 + nb) from its sums in nW and dW */
static void kc_wfinish(const kc_run *run, const kc_mine *me, size_t g0, size_t nb)
{
    const size_t K = run->K, L = run->L, R = run->R;
    for (size_t l = 0; l < L; l++) {
        double *w = run->W + (l * R + g0) * K;
        double *num = me->nW + l * nb * K, *den = me->dW + l * nb * K;
        kve_penaltyW(run->m, w, (int)nb, (int)K, num, den);
        for (size_t i = 0; i < nb * K; i++) w[i] *= num[i] / (den[i] + KC_EPS);
    }
}

/* the W update of the rows [g0, g0 + nb) from A and B of the current W */
static void kc_wupdate(const kc_run *run, const kc_mine *me, size_t g0, size_t nb)
{
    const size_t K = run->K, L = run->L;
    run->impl.wnum(&run->g, me->X, run->lda, nb, me->acc, me->nW);
    if (run->kind != KC_KL) {
        run->impl.wnum(&run->g, me->Y, run->lda, nb, me->acc, me->dW);
    } else {
        for (size_t l = 0; l < L; l++)
            for (size_t r = 0; r < nb; r++)
                memcpy(me->dW + (l * nb + r) * K, run->rowSums + l * K, K * sizeof *me->dW);
    }
    kc_wfinish(run, me, g0, nb);
}

/* Euclidean: A is V itself, and the sums with B = Λ + eps come from the
 * Gram matrices, sum_t (Λ[r][t] + eps) H[k][t - l] being
 * sum_j' W[r][j'] gramH[j'][j] + eps rowSums[j]. Then no Λ is made. */
static void kc_euclBlock(const kc_run *run, const kc_mine *me, size_t g0, size_t nb, int w,
                         double *num)
{
    const size_t K = run->K, L = run->L, KL = K * L, T = run->T, lda = run->lda;
    for (size_t r = 0; r < nb; r++) {
        const float *v = run->V + (g0 + r) * T;
        double *x = me->X + r * lda;
        for (size_t t = 0; t < T; t++) x[t] = (double)v[t];
        memset(x + T, 0, (lda - T) * sizeof *x);
    }
    if (w) {
        kc_gather(run, g0, nb, me->wc);
        run->impl.wnum(&run->g, me->X, lda, nb, me->acc, me->nW);
        double *d = me->acc; /* free until the next wnum */
        for (size_t r = 0; r < nb; r++) {
            const double *wr = me->wc + r * KL;
            for (size_t j = 0; j < KL; j++) d[j] = KC_EPS * run->rowSums[j];
            for (size_t i = 0; i < KL; i++) run->impl.axpy(d, wr[i], run->gramH + i * KL, KL);
            for (size_t l = 0; l < L; l++)
                memcpy(me->dW + (l * nb + r) * K, d + l * K, K * sizeof *d);
        }
        kc_wfinish(run, me, g0, nb);
    }
    if (num) {
        kc_gather(run, g0, nb, me->wc);
        run->impl.hnum(&run->g, me->wc, nb, me->X, lda, num, run->ldn);
    }
}

/* the rows of slab s */
static void kc_slabRows(const kc_run *run, size_t s, size_t *g0, size_t *g1)
{
    *g0 = run->R * s / run->slabs;
    *g1 = run->R * (s + 1) / run->slabs;
}

/* The blocks of slab s: with fresh H, the W update (w); then, with the new
 * rows, the slab's share of the next H sums (h) */
static void kc_slab(const kc_run *run, const kc_mine *me, size_t s, int w, int h)
{
    const size_t Kn = run->K * run->ldn;
    double *num = run->parts + s * 2 * Kn, *den = num + Kn;
    size_t g0, g1;
    kc_slabRows(run, s, &g0, &g1);
    if (h) memset(num, 0, 2 * Kn * sizeof *num);
    for (size_t b = g0; b < g1; b += run->rb) {
        const size_t nb = b + run->rb < g1 ? run->rb : g1 - b;
        if (run->gram) {
            kc_euclBlock(run, me, b, nb, w, h ? num : NULL);
            continue;
        }
        if (w) {
            kc_quotients(run, me, b, nb);
            kc_wupdate(run, me, b, nb);
        }
        if (h) {
            kc_quotients(run, me, b, nb);
            run->impl.hnum(&run->g, me->wc, nb, me->X, run->lda, num, run->ldn);
            if (run->kind != KC_KL)
                run->impl.hnum(&run->g, me->wc, nb, me->Y, run->lda, den, run->ldn);
        }
    }
}

/* H in the padded copy the kernels read; for Kullback-Leibler and
 * Euclidean the sums over its shifted rows, and for Euclidean their Gram
 * matrix */
static void kc_padH(kc_run *run)
{
    const size_t K = run->K, T = run->T, L = run->L, KL = K * L;
    for (size_t k = 0; k < K; k++)
        memcpy(run->Hp + k * run->g.ldp + run->g.P, run->H + k * T, T * sizeof *run->H);
    if (run->kind != KC_KL && !run->gram) return;
    for (size_t j = 0; j < KL && run->gram; j++)
        for (size_t i = j; i < KL; i++) {
            /* four chains, so that the additions overlap */
            const double *a = run->Hp + run->off[i], *b = run->Hp + run->off[j];
            double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
            size_t t = 0;
            for (; t + 4 <= T; t += 4) {
                s0 += a[t] * b[t];
                s1 += a[t + 1] * b[t + 1];
                s2 += a[t + 2] * b[t + 2];
                s3 += a[t + 3] * b[t + 3];
            }
            for (; t < T; t++) s0 += a[t] * b[t];
            run->gramH[i * KL + j] = run->gramH[j * KL + i] = (s0 + s1) + (s2 + s3);
        }
    for (size_t k = 0; k < K; k++) {
        /* sum over t < T - l, for each l from the longest down */
        const double *h = run->H + k * T;
        size_t end = 0;
        double s = 0.0;
        for (size_t li = L; li-- > 0;) {
            const size_t upto = T > li ? T - li : 0;
            for (; end < upto; end++) s += h[end];
            run->rowSums[li * K + k] = s;
        }
    }
}

/* Euclidean: den[k][t] = sum over the l with t + l inside of
 * sum_r W_l[r][k] (Λ[r][t + l] + eps), from W's Gram matrix */
static void kc_euclDen(kc_run *run, double *den)
{
    const size_t K = run->K, T = run->T, L = run->L, R = run->R, KL = K * L, ldp = run->g.ldp;
    double *G = run->gramW, *w = run->shares; /* the first share is free here */
    for (size_t i = 0; i < KL * KL; i++) G[i] = 0.0;
    for (size_t r = 0; r < R; r++) {
        for (size_t l = 0; l < L; l++) memcpy(w + l * K, run->W + (l * R + r) * K, K * sizeof *w);
        for (size_t i = 0; i < KL; i++) run->impl.axpy(G + i * KL + i, w[i], w + i, KL - i);
    }
    for (size_t i = 0; i < KL; i++)
        for (size_t j = 0; j < i; j++) G[i * KL + j] = G[j * KL + i];
    for (size_t k = 0; k < K; k++) {
        double *d = den + k * run->ldn;
        for (size_t t = 0; t < T; t++) d[t] = 0.0;
        /* Λ[.][t + l] = sum_j' W[.][j'] H[k'][t + l - l'], for t + l inside */
        for (size_t l = 0; l < L && l < T; l++)
            for (size_t j = 0; j < KL; j++) {
                const double g = G[(l * K + k) * KL + j];
                const double *h = run->Hp + (j % K) * ldp + run->g.P + l - j / K;
                run->impl.axpy(d, g, h, T - l);
            }
        for (size_t t = 0; t < T; t++) {
            double e = 0.0;
            for (size_t l = 0; l < L && t + l < T; l++) e += run->colSums[l * K + k];
            d[t] += KC_EPS * e;
        }
    }
}

/* The H update from the slabs' sums; one thread, the others waiting */
static void kc_hupdate(kc_run *run)
{
    const size_t K = run->K, T = run->T, L = run->L, R = run->R, ldn = run->ldn;
    const size_t Kn = K * ldn;
    double *num = run->parts, *den = num + Kn;
    for (size_t s = 1; s < run->slabs; s++) {
        const double *ns = run->parts + s * 2 * Kn, *ds = ns + Kn;
        for (size_t i = 0; i < Kn; i++) num[i] += ns[i];
        if (run->kind != KC_KL && !run->gram)
            for (size_t i = 0; i < Kn; i++) den[i] += ds[i];
    }
    if (run->kind == KC_KL || run->gram) {
        /* sum_r W_l[r][k] */
        for (size_t j = 0; j < K * L; j++) run->colSums[j] = 0.0;
        for (size_t l = 0; l < L; l++)
            for (size_t r = 0; r < R; r++)
                for (size_t k = 0; k < K; k++)
                    run->colSums[l * K + k] += run->W[(l * R + r) * K + k];
    }
    if (run->gram) {
        kc_euclDen(run, den);
    } else if (run->kind == KC_KL) {
        for (size_t k = 0; k < K; k++)
            for (size_t t = 0; t < T; t++) {
                double d = 0.0;
                for (size_t l = 0; l < L && t + l < T; l++) d += run->colSums[l * K + k];
                den[k * ldn + t] = d;
            }
    }
    kve_penaltyH(run->m, run->H, (int)K, (int)T, num, den, (int)ldn);
    for (size_t k = 0; k < K; k++)
        for (size_t t = 0; t < T; t++)
            run->H[k * T + t] *= num[k * ldn + t] / (den[k * ldn + t] + KC_EPS);
    kc_padH(run);
}

/* The rounds as thread id of nt sees them. Two meetings a round: before the
 * H update (every slab's sums made) and after it. */
static void kc_rounds(kc_run *run, int id, int nt)
{
    const kc_mine me = kc_mineOf(run, id);
    const size_t s0 = run->slabs * (size_t)id / (size_t)nt;
    const size_t s1 = run->slabs * (size_t)(id + 1) / (size_t)nt;
    for (size_t s = s0; s < s1; s++) kc_slab(run, &me, s, 0, 1);
    for (int i = 0; i < run->n; i++) {
        kc_sync(run, nt);
        if (id == 0) {
            if (i > 0 && run->onRound && run->onRound(i, run->n, run->user) != 0) run->stop = 1;
            if (!run->stop) kc_hupdate(run);
        }
        kc_sync(run, nt);
        if (run->stop) break; /* every thread sees it after the same meeting */
        for (size_t s = s0; s < s1; s++) kc_slab(run, &me, s, 1, i + 1 < run->n);
    }
    kc_sync(run, nt);
    if (id == 0 && !run->stop && run->onRound && run->onRound(run->n, run->n, run->user) != 0)
        run->stop = 1;
}

static void kc_body(void *job, int id, int nt)
{
    kc_rounds(job, id, nt);
}

static void kc_runTeam(kc_run *run, int nth)
{
    kve_teamRun(&run->team, nth, kc_body, run);
}

/* The sizes of the job, from the sizes of the problem alone */
static void kc_plan(kc_run *run)
{
    const size_t K = run->K, L = run->L, T = run->T;
    kc_geom *g = &run->g;
    g->K = K;
    g->L = L;
    g->P = L - 1;
    g->Tv = kc_up(T, 4 * KC_LANES);
    g->ldp = kc_stride(g->P + g->Tv);
    g->tile = (2048 / K) / (4 * KC_LANES) * (4 * KC_LANES);
    if (g->tile < 4 * KC_LANES) g->tile = 4 * KC_LANES;
    run->ldn = kc_stride(g->Tv);
    run->lda = kc_stride(g->Tv + L - 1);
    /* A and B of a block in about 512 KiB */
    run->rb = 32768 / run->lda;
    run->rb = run->rb < 4 ? 4 : run->rb > 64 ? 64 : run->rb;
    /* the Gram matrices where they cost little beside the passes they save */
    run->gram = run->kind == KC_EUC && 4 * K * L <= (run->R < T ? run->R : T) && K * L <= 1024;
    run->slabs = run->R / KC_SLAB_ROWS;
    run->slabs = run->slabs < 1 ? 1 : run->slabs > KC_MOST_SLABS ? KC_MOST_SLABS : run->slabs;
    /* the slabs' sums within 64 MiB when more than one */
    while (run->slabs > 1 && (double)run->slabs * 2.0 * (double)K * (double)run->ldn > 8388608.0)
        run->slabs--;
}

static int kc_threadCount(const kc_run *run)
{
    int nth = kve_teamMost();
    if (nth < 1 ||
        (double)run->R * (double)run->T * (double)run->K * (double)run->L < KC_THREAD_WORK)
        nth = 1;
    if ((size_t)nth > run->slabs) nth = (int)run->slabs;
    return nth;
}

/* n += a * b doubles, or 0 when their bytes (and some) would wrap */
static int kc_add(size_t *n, size_t a, size_t b)
{
    const size_t most = SIZE_MAX / sizeof(double) / 2;
    if (b && a > most / b) return 0;
    if (*n > most - a * b) return 0;
    *n += a * b;
    return 1;
}

/* one block for everything, carved up; NULL when it can't be had */
static void *kc_setup(kc_run *run, int nth)
{
    const size_t K = run->K, KL = K * run->L, rb = run->rb;
    size_t share = 0, total = 0;
    int ok = kc_add(&share, 2, kc_up(rb * KL, 8)) && kc_add(&share, 2 * rb, run->lda) &&
             kc_add(&share, rb * KL, KC_LANES) && kc_add(&share, 1, kc_up(rb * KL, 8));
    share = kc_up(share, 8); /* shares a whole number of cache lines apart */
    run->share = share;
    ok = ok && kc_add(&total, K, run->g.ldp) && kc_add(&total, run->slabs * 2 * K, run->ldn) &&
         kc_add(&total, 2, kc_up(KL, 8)) && kc_add(&total, 2, run->gram ? kc_up(KL * KL, 8) : 0) &&
         kc_add(&total, (size_t)nth, share) && kc_add(&total, 1, KL + 8);
    void *block = ok ? malloc(total * sizeof(double) + 64) : NULL;
    if (!block) return NULL;
    double *p = (double *)(((uintptr_t)block + 63) & ~(uintptr_t)63);
    run->Hp = p;
    memset(run->Hp, 0, K * run->g.ldp * sizeof *p);
    run->parts = run->Hp + K * run->g.ldp;
    run->colSums = run->parts + run->slabs * 2 * K * run->ldn;
    run->rowSums = run->colSums + kc_up(KL, 8);
    run->gramW = run->rowSums + kc_up(KL, 8);
    run->gramH = run->gramW + (run->gram ? kc_up(KL * KL, 8) : 0);
    run->shares = run->gramH + (run->gram ? kc_up(KL * KL, 8) : 0);
    run->off = (size_t *)(run->shares + (size_t)nth * share);
    for (size_t l = 0; l < run->L; l++)
        for (size_t k = 0; k < K; k++) run->off[l * K + k] = k * run->g.ldp + run->g.P - l;
    run->g.Hp = run->Hp;
    run->g.off = run->off;
    return block;
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

int kve_convolutiveRounds(const kve_model *m, const float *V, int rows, int frames, int K,
                          double *W, double *H, int n, int (*onRound)(int, int, void *), void *user)
{
    if (n <= 0) return 0;
    if (rows < 1 || frames < 1 || K < 1 || m->span < 1) {
        /* nothing to update: the rounds are still reported, and may stop */
        for (int i = 1; i <= n; i++)
            if (onRound && onRound(i, n, user) != 0) return 1;
        return 0;
    }
    kc_run run;
    memset(&run, 0, sizeof run);
    run.m = m;
    run.V = V;
    run.W = W;
    run.H = H;
    run.R = (size_t)rows;
    run.T = (size_t)frames;
    run.K = (size_t)K;
    run.L = (size_t)m->span;
    run.kind = kc_kind(m->beta);
    run.n = n;
    run.onRound = onRound;
    run.user = user;
    run.impl = kc_choose();
    kc_plan(&run);
    const int nth = kc_threadCount(&run);
    void *block = kc_setup(&run, nth);
    if (!block) return -1;
    kc_padH(&run);
    kc_runTeam(&run, nth);
    free(block);
    return run.stop ? 1 : 0;
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
