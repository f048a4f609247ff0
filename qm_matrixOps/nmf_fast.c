/* Multiplicative updates without any F x T matrix. For Kullback-Leibler
 * the quotient V / (W H + eps) is formed a vector of frames at a time and
 * used at once; the Euclidean updates use V itself and two K x K Gram
 * matrices.
 *
 * One sweep over the rows of V per round. A block of rows first finishes
 * the W update of this round (its rows are independent given the new H),
 * then, with those new rows, adds its share to the numerators of the next
 * round's H update while the block is still in cache: V leaves memory once
 * per round. The frames are cut into tiles whose H fits the first cache
 * level. Threads split the rows; each keeps its own H numerators, summed
 * when the sweep ends.
 *
 * The arithmetic per element is that of qm_klIterate and qm_euclIterate:
 * H before W with the new H; for Kullback-Leibler the reciprocal then the
 * product, eps on W H and on both sums; for Euclidean eps on the Gram
 * products. Only the order of the sums differs, and for a given thread
 * count it is always the same. */
#include "nmf_fast.h"
#include "nmf_internal.h"
#include "scratch.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#ifdef _OPENMP
#include <omp.h>
#include <pthread.h>
#define KF_THREADS 1
#endif

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define KF_X86 1
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx2,fma")
#define KF_VW 8
#define KF_SUFFIX _avx512
#include "nmf_fast_kern.h"
#undef KF_SUFFIX
#define KF_SUFFIX _avx512f
#define KF_VT float
#include "nmf_fast_kern.h"
#undef KF_VW
#undef KF_SUFFIX
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,fma")
#define KF_VW 4
#define KF_SUFFIX _avx2
#include "nmf_fast_kern.h"
#undef KF_SUFFIX
#define KF_SUFFIX _avx2f
#define KF_VT float
#include "nmf_fast_kern.h"
#undef KF_VW
#undef KF_SUFFIX
#pragma GCC pop_options
#endif

#define KF_VW 2
#define KF_SUFFIX _base
#include "nmf_fast_kern.h"
#undef KF_SUFFIX
#define KF_SUFFIX _basef
#define KF_VT float
#include "nmf_fast_kern.h"
#undef KF_VW
#undef KF_SUFFIX

typedef void (*kf_wpass_fn)(const void *, size_t, const double *, const double *, size_t, int,
                            size_t, size_t, size_t, size_t, double *, double *);
typedef void (*kf_hpass_fn)(const void *, size_t, const double *, const double *, double *, size_t,
                            int, size_t, size_t, size_t, size_t, size_t);

typedef struct {
    size_t vw;
    kf_wpass_fn wpass;
    kf_hpass_fn hpass;
} kf_impl;

/* The kernels for this processor, for V stored as doubles or (vf) floats */
#define KF_PICK(vw, sx)                                                                            \
    (eucl ? (vf ? (kf_impl){vw, ef_wpass##sx##f, ef_hpass##sx##f}                                  \
                : (kf_impl){vw, ef_wpass##sx, ef_hpass##sx})                                       \
          : (vf ? (kf_impl){vw, kf_wpass##sx##f, kf_hpass##sx##f}                                  \
                : (kf_impl){vw, kf_wpass##sx, kf_hpass##sx}))

static kf_impl kf_choose(int eucl, int vf)
{
#ifdef KF_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")
        && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("fma"))
        return KF_PICK(8, _avx512);
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return KF_PICK(4, _avx2);
#endif
    return KF_PICK(2, _base);
}
#undef KF_PICK

typedef struct {
    const void *V; /* F x T, rows T apart, doubles or floats as impl reads them */
    double *W;     /* F x K */
    double *H;     /* K x T, rows ldh apart: the working copy */
    size_t F, T, K, ldh;
    int eucl;       /* Euclidean rather than Kullback-Leibler */
    size_t fixedK;  /* columns [0, fixedK) of W are not updated */
    size_t tV;      /* frames from tV on are the tail, a part vector */
    const void *Vt; /* F x vw: the tail frames of V, zero-padded, stored as V (or NULL) */
    size_t tile;    /* frames per H pass tile, a multiple of the vector width */
    size_t wtile;   /* frames per W pass tile, likewise */
    size_t rows;    /* rows per block */
    size_t panel;   /* frames per panel when H outgrows the cache, else 0 */
    kf_impl impl;
} kf_job;

/* Per thread scratch: where each part starts, in doubles from the thread's
 * share, and the share's size; sized and carved from this one description */
typedef struct {
    size_t num, accs, scratch, row, denH, denW;
    size_t size;
} kf_layout;

/* H numerators (K x ldh), block sums (rows x K vectors), any-K scratch (K
 * vectors and K doubles), one row's numerators and denominators (2K), the
 * two sets of sums (K, or K x K for Euclidean); whole cache lines. Returns
 * 0 when a size would wrap. */
static int kf_layoutOf(size_t nK, size_t ldh, size_t rows, size_t vw, int eucl, kf_layout *l)
{
    size_t nDen = eucl ? nK * nK : nK, nKH = nK * ldh, at = 0;
    if ((nK && nKH / nK != ldh) || (eucl && nK && nDen / nK != nK))
        return 0;
    l->num = at;
    if (!qm_addCount(&at, nKH))
        return 0;
    l->accs = at;
    if (!qm_addCount(&at, rows * nK * vw))
        return 0;
    l->scratch = at;
    if (!qm_addCount(&at, nK * (vw + 1)))
        return 0;
    l->row = at;
    if (!qm_addCount(&at, 2 * nK))
        return 0;
    l->denH = at;
    if (!qm_addCount(&at, nDen))
        return 0;
    l->denW = at;
    if (!qm_addCount(&at, nDen) || !qm_addCount(&at, 7))
        return 0;
    l->size = at / 8 * 8;
    return 1;
}

/* One thread's scratch, carved from its share by the layout */
typedef struct {
    double *num;     /* K x ldh: H numerators */
    double *accs;    /* rows x K vectors: W numerators by lane */
    double *scratch; /* K vectors and K doubles for the any-K kernels */
    double *row;     /* 2K: one row's numerators and denominators */
    double *denH;    /* K (Kullback-Leibler) or K x K (Euclidean) */
    double *denW;    /* likewise */
} kf_mine;

/* The W numerators of the rows [f0, f1) over the frames [p0, p1), added to
 * accs (lanes of row f from (f - f0) K vw), tiles of wtile frames */
static void kf_waccum(const kf_job *j, const kf_mine *m, size_t f0, size_t f1, size_t p0, size_t p1,
                      double *accs)
{
    for (size_t t0 = p0; t0 < p1; t0 += j->wtile) {
        size_t t1 = t0 + j->wtile < p1 ? t0 + j->wtile : p1;
        j->impl.wpass(j->V, j->T, j->W, j->H, j->ldh, (int)j->K, f0, f1, t0, t1, accs, m->scratch);
    }
}

/* The tail's share, then the W update of the rows [f0, f1) from their
 * numerators in m->accs */
static void kf_wfinish(const kf_job *j, const kf_mine *m, size_t f0, size_t f1)
{
    const size_t nK = j->K, vw = j->impl.vw;
    /* the tail: zero V in the padding lanes adds nothing to the sums */
    if (j->Vt)
        j->impl.wpass(j->Vt, vw, j->W, j->H + j->tV, j->ldh, (int)nK, f0, f1, 0, vw, m->accs,
                      m->scratch);
    double *num = m->row, *den = m->row + nK;
    for (size_t f = f0; f < f1; f++) {
        double *w = j->W + f * nK;
        for (size_t k = 0; k < nK; k++) {
            size_t i = (f - f0) * nK + k;
            double s = 0.0;
            for (size_t l = 0; l < vw; l++)
                s += m->accs[i * vw + l];
            num[k] = s;
        }
        if (j->eucl) {
            /* W (H H') + eps, from the row as it was */
            for (size_t k = 0; k < nK; k++) {
                double g = 0.0;
                for (size_t i = 0; i < nK; i++)
                    g += w[i] * m->denW[i * nK + k];
                den[k] = g + QM_EPS;
            }
        } else {
            for (size_t k = 0; k < nK; k++)
                den[k] = m->denW[k];
        }
        for (size_t k = j->fixedK; k < nK; k++)
            w[k] *= num[k] / den[k];
    }
}

/* W update of the rows [f0, f1) with the current H */
static void kf_wrows(const kf_job *j, const kf_mine *m, size_t f0, size_t f1)
{
    memset(m->accs, 0, (f1 - f0) * j->K * j->impl.vw * sizeof *m->accs);
    kf_waccum(j, m, f0, f1, 0, j->tV, m->accs);
    kf_wfinish(j, m, f0, f1);
}

/* The same for all the rows [f0, f1) of a thread, a panel of frames at a
 * time: H's panel stays in cache while every row's stretch of V passes.
 * Each numerator gets the same terms in the same order as in kf_wrows. */
static void kf_wpanels(const kf_job *j, const kf_mine *m, size_t f0, size_t f1)
{
    const size_t per = j->K * j->impl.vw;
    memset(m->accs, 0, (f1 - f0) * per * sizeof *m->accs);
    for (size_t p0 = 0; p0 < j->tV; p0 += j->panel) {
        size_t p1 = p0 + j->panel < j->tV ? p0 + j->panel : j->tV;
        for (size_t fb = f0; fb < f1; fb += j->rows) {
            size_t fe = fb + j->rows < f1 ? fb + j->rows : f1;
            kf_waccum(j, m, fb, fe, p0, p1, m->accs + (fb - f0) * per);
        }
    }
    kf_wfinish(j, m, f0, f1);
}

/* num (K rows ldh apart) += the H numerator terms of the rows [f0, f1) over
 * the frames [p0, p1), tiles of tile frames */
static void kf_haccum(const kf_job *j, size_t f0, size_t f1, size_t p0, size_t p1, double *num)
{
    for (size_t t0 = p0; t0 < p1; t0 += j->tile) {
        size_t t1 = t0 + j->tile < p1 ? t0 + j->tile : p1;
        j->impl.hpass(j->V, j->T, j->W, j->H, num, j->ldh, (int)j->K, f0, f1, t0, t1,
                      j->rows * j->T);
    }
}

static void kf_htail(const kf_job *j, size_t f0, size_t f1, double *num)
{
    if (j->Vt)
        j->impl.hpass(j->Vt, j->impl.vw, j->W, j->H + j->tV, num + j->tV, j->ldh, (int)j->K, f0, f1,
                      0, j->impl.vw, j->rows * j->impl.vw);
}

/* num += the H numerator terms of the rows [f0, f1) */
static void kf_hrows(const kf_job *j, size_t f0, size_t f1, double *num)
{
    kf_haccum(j, f0, f1, 0, j->tV, num);
    kf_htail(j, f0, f1, num);
}

/* The same a panel of frames at a time, the rows in the same order for
 * every frame */
static void kf_hpanels(const kf_job *j, size_t f0, size_t f1, double *num)
{
    for (size_t p0 = 0; p0 < j->tV; p0 += j->panel) {
        size_t p1 = p0 + j->panel < j->tV ? p0 + j->panel : j->tV;
        for (size_t fb = f0; fb < f1; fb += j->rows)
            kf_haccum(j, fb, fb + j->rows < f1 ? fb + j->rows : f1, p0, p1, num);
    }
    kf_htail(j, f0, f1, num);
}

#ifndef KF_WTILE
#define KF_WTILE 16384
#endif
#ifndef KF_HCACHE
#define KF_HCACHE (2.0 * 1024 * 1024)
#endif
#ifndef KF_PANEL
#define KF_PANEL (256 * 1024)
#endif
#ifndef KF_VBLOCK
#define KF_VBLOCK 65536
#endif

/* Below this many multiply-adds per round a second thread costs more than it saves. */
#define KF_THREAD_WORK 400000.0

typedef struct {
    kf_job j;
    int iter;
    qm_iterationFn fn; /* per-round callback, or NULL */
    void *user;
    int stop;         /* set by thread 0 when fn asks; read after a barrier */
    double *base;     /* per thread shares, cache-line aligned */
    kf_layout layout; /* of each share */
#ifdef KF_THREADS
    pthread_barrier_t *bar;
#endif
} kf_run;

/* Threads meet at a barrier that sleeps rather than spins: when the machine
 * is busy, a waiting thread gives its core to the one that is late. */
static void kf_sync(const kf_run *run, int nt)
{
#ifdef KF_THREADS
    if (nt > 1)
        pthread_barrier_wait(run->bar);
#else
    (void)run;
    (void)nt;
#endif
}

/* The sums the H update divides by, from the current W: W' 1 + eps (column
 * sums), or the Gram matrix W' W. Each thread makes its own copy. */
static void kf_hsums(const kf_job *j, double *den)
{
    const size_t nK = j->K;
    if (j->eucl) {
        /* symmetric: the upper half, mirrored */
        for (size_t i = 0; i < nK * nK; i++)
            den[i] = 0.0;
        for (size_t f = 0; f < j->F; f++) {
            const double *w = j->W + f * nK;
            for (size_t a = 0; a < nK; a++)
                for (size_t b = a; b < nK; b++)
                    den[a * nK + b] += w[a] * w[b];
        }
        for (size_t a = 0; a < nK; a++)
            for (size_t b = 0; b < a; b++)
                den[a * nK + b] = den[b * nK + a];
        return;
    }
    for (size_t k = 0; k < nK; k++)
        den[k] = 0.0;
    for (size_t f = 0; f < j->F; f++)
        for (size_t k = 0; k < nK; k++)
            den[k] += j->W[f * nK + k];
    for (size_t k = 0; k < nK; k++)
        den[k] += QM_EPS;
}

/* The sums the W update divides by, from the new H: 1 H' + eps (row sums),
 * or the Gram matrix H H'. */
static void kf_wsums(const kf_job *j, double *den)
{
    const size_t nK = j->K;
    for (size_t a = 0; a < nK; a++) {
        const double *ha = j->H + a * j->ldh;
        if (!j->eucl) {
            double s = 0.0;
            for (size_t t = 0; t < j->T; t++)
                s += ha[t];
            den[a] = s + QM_EPS;
            continue;
        }
        /* symmetric: the upper half, mirrored; four chains per sum */
        for (size_t b = a; b < nK; b++) {
            const double *hb = j->H + b * j->ldh;
            double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
            size_t t = 0;
            for (; t + 4 <= j->T; t += 4) {
                s0 += ha[t] * hb[t];
                s1 += ha[t + 1] * hb[t + 1];
                s2 += ha[t + 2] * hb[t + 2];
                s3 += ha[t + 3] * hb[t + 3];
            }
            for (; t < j->T; t++)
                s0 += ha[t] * hb[t];
            den[a * nK + b] = den[b * nK + a] = (s0 + s1) + (s2 + s3);
        }
    }
}

/* H update of the frames [u0, u1) from the numerators of all nt threads,
 * which it clears for the next sweep */
static void kf_hupdate(const kf_run *run, const kf_mine *m, int nt, size_t u0, size_t u1)
{
    const kf_job *j = &run->j;
    const size_t nK = j->K, ldh = j->ldh;
    double *num = m->row, *den = m->row + nK;
    for (size_t t = u0; t < u1; t++) {
        for (size_t k = 0; k < nK; k++) {
            double s = 0.0;
            for (int p = 0; p < nt; p++) {
                double *np =
                    run->base + run->layout.size * (size_t)p + run->layout.num + k * ldh + t;
                s += *np;
                *np = 0.0;
            }
            num[k] = s;
        }
        if (j->eucl) {
            /* (W' W) H + eps, from the column as it was */
            for (size_t k = 0; k < nK; k++) {
                double g = 0.0;
                for (size_t i = 0; i < nK; i++)
                    g += m->denH[k * nK + i] * j->H[i * ldh + t];
                den[k] = g + QM_EPS;
            }
        } else {
            for (size_t k = 0; k < nK; k++)
                den[k] = m->denH[k];
        }
        for (size_t k = 0; k < nK; k++)
            j->H[k * ldh + t] *= num[k] / den[k];
    }
}

/* Reports done rounds to the process-wide hook and to the run's callback,
 * which may ask the work to stop. Thread 0 only. */
static void kf_report(kf_run *run, int done)
{
    qm_reportProgress(done, run->iter);
    if (run->fn && run->fn(done, run->iter, run->user) != 0)
        run->stop = 1;
}

/* The rounds as thread id of nt sees them; one thread runs no OpenMP at all.
 * Two meetings per round: before the H update (all numerators made, W
 * whole) and before the W update (H whole). */
static void kf_rounds(kf_run *run, int id, int nt)
{
    const kf_job *j = &run->j;
    const size_t nF = j->F, nT = j->T, nK = j->K;
    const kf_layout *l = &run->layout;
    double *share = run->base + l->size * (size_t)id;
    kf_mine m;
    m.num = share + l->num;
    m.accs = share + l->accs;
    m.scratch = share + l->scratch;
    m.row = share + l->row;
    m.denH = share + l->denH;
    m.denW = share + l->denW;
    size_t f0 = nF * (size_t)id / (size_t)nt, f1 = nF * (size_t)(id + 1) / (size_t)nt;
    size_t u0 = nT * (size_t)id / (size_t)nt, u1 = nT * (size_t)(id + 1) / (size_t)nt;

    memset(m.num, 0, nK * j->ldh * sizeof *m.num);
    if (j->panel)
        kf_hpanels(j, f0, f1, m.num);
    for (size_t fb = f0; fb < f1 && !j->panel; fb += j->rows)
        kf_hrows(j, fb, fb + j->rows < f1 ? fb + j->rows : f1, m.num);

    for (int i = 0; i < run->iter; i++) {
        kf_sync(run, nt);
        if (id == 0 && i > 0)
            kf_report(run, i);
        /* the H update, each thread its frames; the numerators were made
         * with this W */
        kf_hsums(j, m.denH);
        kf_hupdate(run, &m, nt, u0, u1);
        kf_sync(run, nt);
        if (run->stop)
            break; /* every thread sees it after the same barrier */
        /* the W update with the new H, block by block; then the next
         * round's H numerators from the new rows */
        const int wFree = j->fixedK < nK; /* else only the H numerators */
        if (wFree)
            kf_wsums(j, m.denW);
        if (j->panel) {
            /* two sweeps: every row's W first, then the numerators */
            if (wFree)
                kf_wpanels(j, &m, f0, f1);
            if (i + 1 < run->iter)
                kf_hpanels(j, f0, f1, m.num);
            continue;
        }
        for (size_t fb = f0; fb < f1; fb += j->rows) {
            size_t fe = fb + j->rows < f1 ? fb + j->rows : f1;
            if (wFree)
                kf_wrows(j, &m, fb, fe);
            if (i + 1 < run->iter)
                kf_hrows(j, fb, fe, m.num);
        }
    }
    kf_sync(run, nt);
    if (id == 0 && !run->stop)
        kf_report(run, run->iter);
}

/* The job's shape: vector width, H's row stride, tiles, blocks of V and
 * panels, from the sizes alone */
static void kf_plan(kf_job *j)
{
    const size_t vw = j->impl.vw, nT = j->T, nK = j->K;
    j->tV = nT / vw * vw;
    /* H rows an odd number of cache lines apart, so that the K rows of a
     * tile fall into different sets of the first cache level */
    j->ldh = (nT + 7) / 8 * 8;
    if ((j->ldh / 8) % 2 == 0)
        j->ldh += 8;
    /* tiles of H of about 8 KiB in the H pass, where the numerators share
     * the first level, of about KF_WTILE bytes in the W pass */
    j->tile = (1024 / nK) / vw * vw;
    if (j->tile < vw)
        j->tile = vw;
    j->wtile = (KF_WTILE / 8 / nK) / vw * vw;
    if (j->wtile < vw)
        j->wtile = vw;
    /* blocks of V stay in the second level between the passes: 256 KiB
     * beside H and its numerators when those fit there too, else 512 KiB,
     * fewer passes over H and the numerators being worth more */
    j->rows = (2 * nK * nT <= KF_VBLOCK ? KF_VBLOCK / 2 : KF_VBLOCK) / nT;
    if (j->rows < 2)
        j->rows = 2;
    if (j->rows > 64)
        j->rows = 64;
    /* past KF_HCACHE bytes of H, frames go in panels whose H and numerators
     * (KF_PANEL bytes) stay in the second level; V is then read twice a
     * round, once for W and once for the numerators */
    j->panel = 0;
    if ((double)nK * (double)j->ldh * 8.0 > KF_HCACHE) {
        j->panel = (KF_PANEL / (16 * nK)) / j->wtile * j->wtile;
        if (j->panel < j->wtile)
            j->panel = j->wtile;
        j->rows = 16;
    }
}

/* threads worth starting for F x T x K: one below KF_THREAD_WORK */
static int kf_threadCount(int F, int T, int K)
{
    int nth = 1;
#ifdef _OPENMP
    nth = omp_get_max_threads();
    if (nth < 1 || (double)F * (double)T * (double)K < KF_THREAD_WORK)
        nth = 1;
    if (nth > F)
        nth = F;
#else
    (void)F, (void)T, (void)K;
#endif
    return nth;
}

/* One block for the working H (K x ldh), the tail of V (F x vw) and a
 * share per thread as kf_layoutOf lays it out; H and the tail copied in.
 * The block to free, or NULL when it can't be had. */
static double *kf_setup(kf_run *run, int nth, int vf, const double *H)
{
    kf_job *j = &run->j;
    const size_t vw = j->impl.vw, nF = j->F, nT = j->T, nK = j->K;
    size_t nKH = nK * j->ldh, nVt = j->tV < nT ? nF * vw : 0, total = 0;
    kf_layout *l = &run->layout;
    int ok = kf_layoutOf(nK, j->ldh, j->panel ? nF : j->rows, vw, j->eucl, l)
             && l->size <= SIZE_MAX / (size_t)nth && qm_addCount(&total, nKH)
             && qm_addCount(&total, (nVt + 7) / 8 * 8) && qm_addCount(&total, l->size * (size_t)nth)
             && qm_addCount(&total, 8);
    double *block = ok ? qm_allocDoubles(total) : NULL;
    if (!block)
        return NULL;
    j->H = (double *)(((uintptr_t)block + 63) & ~(uintptr_t)63);
    double *Vt = j->H + nKH;
    run->base = Vt + (nVt + 7) / 8 * 8;
    for (size_t k = 0; k < nK; k++) {
        memcpy(j->H + k * j->ldh, H + k * nT, nT * sizeof *H);
        memset(j->H + k * j->ldh + nT, 0, (j->ldh - nT) * sizeof *H);
    }
    j->Vt = nVt ? Vt : NULL;
    for (size_t f = 0; f < nF && nVt; f++)
        for (size_t l = 0, t = j->tV; l < vw; l++, t++) {
            if (vf)
                ((float *)Vt)[f * vw + l] = t < nT ? ((const float *)j->V)[f * nT + t] : 0.0f;
            else
                Vt[f * vw + l] = t < nT ? ((const double *)j->V)[f * nT + t] : 0.0;
        }
    return block;
}

/* the rounds on nth threads, or on this one */
static void kf_runTeam(kf_run *run, int nth)
{
    if (nth > 1) {
#ifdef KF_THREADS
        pthread_barrier_t bar;
        int barOk = 1;
        run->bar = &bar;
#pragma omp parallel num_threads(nth)
        {
            /* the team may be smaller than asked for */
            int nt = omp_get_num_threads();
#pragma omp single
            barOk = nt == 1 || pthread_barrier_init(&bar, NULL, (unsigned)nt) == 0;
            if (barOk)
                kf_rounds(run, omp_get_thread_num(), nt);
            else if (omp_get_thread_num() == 0)
                kf_rounds(run, 0, 1);
#pragma omp barrier
#pragma omp single
            if (barOk && nt > 1)
                pthread_barrier_destroy(&bar);
        }
#endif
    } else {
        kf_rounds(run, 0, 1);
    }
}

/* The rounds for V stored as doubles or (vf) floats, columns [0, fixedK)
 * of W held */
static int kf_iterate(int eucl, const void *V, int vf, int F, int T, int K, int fixedK, int iter,
                      double *W, double *H, qm_iterationFn fn, void *user)
{
    int stopped = 0;
    if (qm_nothingToDo(F, T, K, iter, fn, user, &stopped))
        return stopped;

    kf_run run;
    run.fn = fn;
    run.user = user;
    run.stop = 0;
    run.iter = iter;
    kf_job *j = &run.j;
    j->V = V;
    j->W = W;
    j->F = (size_t)F;
    j->T = (size_t)T;
    j->K = (size_t)K;
    j->eucl = eucl;
    j->fixedK = fixedK < 0 ? 0 : fixedK > K ? (size_t)K : (size_t)fixedK;
    j->impl = kf_choose(eucl, vf);
    kf_plan(j);

    int nth = kf_threadCount(F, T, K);
    double *block = kf_setup(&run, nth, vf, H);
    if (!block)
        return -1;
    kf_runTeam(&run, nth);

    for (size_t k = 0; k < j->K; k++)
        memcpy(H + k * j->T, j->H + k * j->ldh, j->T * sizeof *H);
    free(block);
    return run.stop ? 1 : 0;
}

int qm_fastIterate(int eucl, const double *V, int F, int T, int K, int iter, double *W, double *H,
                   qm_iterationFn fn, void *user)
{
    return kf_iterate(eucl, V, 0, F, T, K, 0, iter, W, H, fn, user);
}

int qm_fastIterateFloat(int eucl, const float *V, int F, int T, int K, int fixedK, int iter,
                        double *W, double *H, qm_iterationFn fn, void *user)
{
    return kf_iterate(eucl, V, 1, F, T, K, fixedK, iter, W, H, fn, user);
}
