/* The magnitude spectrogram, block by block, straight into the caller's V. */
#include "stream_internal.h"

#include <math.h>
#include <stdint.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

typedef struct analysisPart {
    const kve_frames *f;
    double *V;     /* V as doubles, */
    float *Vf;     /* or as floats */
    size_t j0, j1; /* frames of the block */
    int part;
} analysisPart;

static inline void kve_put(const analysisPart *p, size_t i, double m)
{
    if (p->Vf)
        p->Vf[i] = (float)m;
    else
        p->V[i] = m;
}

/* |X| of frames j0 .. j1 - 1 of pack c into rows c x bins .. of V; the packed
 * values are twice the DFT's */
static void kve_magnitudes(const analysisPart *p, int c)
{
    const kve_streamShape *s = p->f->s;
    const size_t frames = (size_t)s->frames, h = (size_t)s->N / 2, io = p->f->sgram[c].io;
    const size_t row = (size_t)c * (size_t)s->bins * frames + (size_t)p->f->t0;
    for (size_t j = p->j0; j < p->j1; j++) {
        const double *fr = kve_frameAt(p->f, c, j);
        kve_put(p, row + j, 0.5 * fabs(fr[0]));
        kve_put(p, row + h * frames + j, 0.5 * fabs(fr[io]));
    }
    /* bins a few cache lines at a time: each frame's stretch is read whole,
     * each row written along the frames */
    enum { KVE_BINS = 16 };
    for (size_t b0 = 1; b0 < h; b0 += KVE_BINS) {
        const size_t b1 = b0 + KVE_BINS < h ? b0 + KVE_BINS : h;
        for (size_t j = p->j0; j < p->j1; j++) {
            const double *fr = kve_frameAt(p->f, c, j);
            for (size_t b = b0; b < b1; b++)
                kve_put(p, row + b * frames + j,
                        0.5 * sqrt(fr[b] * fr[b] + fr[io + b] * fr[io + b]));
        }
    }
}

static void *kve_analysePart(void *arg)
{
    const analysisPart *p = arg;
    kve_framesForward(p->f, p->j0, p->j1, p->part);
    for (int c = 0; c < (p->f->mix ? 1 : p->f->ch); c++) kve_magnitudes(p, c);
    return NULL;
}

/* A block's frames write a stretch of every row, so the first block would
 * fault in all of a large V, the two threads waiting on the same pages. Two
 * threads fault it in first instead, a half each. */
#define KVE_PREFAULT_BYTES ((size_t)64 << 20)

typedef struct {
    char *p;
    size_t n;
} kve_pages;

static void *kve_populate(void *arg)
{
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    const kve_pages *g = arg;
    if (g->n) (void)madvise(g->p, g->n, MADV_POPULATE_WRITE); /* a hint: the writes fault anyway */
#else
    (void)arg;
#endif
    return NULL;
}

static void kve_prefault(void *V, size_t bytes, int threads)
{
    if (threads < 2 || bytes < KVE_PREFAULT_BYTES) return;
    const uintptr_t page = 4096, huge = (uintptr_t)2 << 20;
    const uintptr_t a = ((uintptr_t)V + page - 1) & ~(page - 1),
                    e = ((uintptr_t)V + bytes) & ~(page - 1);
    const uintptr_t mid = (a + (e - a) / 2) & ~(huge - 1);
    kve_pages half[2] = {{(char *)a, mid - a}, {(char *)mid, e - mid}};
    kve_runTwo(kve_populate, &half[0], &half[1], 2);
}

static int kve_analyseInto(const kve_streamShape *s, kve_source src, double *V, float *Vf,
                           int threads)
{
    if (!s || s->N < 2 || s->frames < 1 || !src.read || (!V && !Vf)) return KVE_BAD_ARGUMENT;
    kve_frames f;
    int rc = kve_framesInit(&f, s, !s->stacked, threads);
    /* floats: the channels' sum's spectra too within their range */
    if (Vf) f.most = KVE_MOST_FOR_FLOAT(s->N) / (f.mix ? (double)f.ch : 1.0);
    if (rc == KVE_OK)
        kve_prefault(Vf ? (void *)Vf : (void *)V,
                     (size_t)s->rows * (size_t)s->frames * (Vf ? sizeof *Vf : sizeof *V),
                     f.threads);
    for (long t0 = 0; rc == KVE_OK && t0 < s->frames; t0 += KVE_BLOCK) {
        const size_t nb = s->frames - t0 < KVE_BLOCK ? (size_t)(s->frames - t0) : KVE_BLOCK;
        rc = kve_framesRead(&f, src, t0, nb);
        if (rc != KVE_OK) break;
        analysisPart part[2] = {{&f, V, Vf, 0, nb / 2, 0}, {&f, V, Vf, nb / 2, nb, 1}};
        kve_runTwo(kve_analysePart, &part[0], &part[1], f.threads);
    }
    kve_framesFree(&f);
    return rc;
}

kve_status kve_streamAnalyse(const kve_streamShape *s, kve_source src, double *V, int threads)
{
    return kve_analyseInto(s, src, V, NULL, threads);
}

kve_status kve_streamAnalyseFloat(const kve_streamShape *s, kve_source src, float *V, int threads)
{
    return kve_analyseInto(s, src, NULL, V, threads);
}
