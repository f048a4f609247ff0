/* Resynthesis in one pass over the frames: per block, the spectra (frames
 * shared between two threads), every output's masked inverses (outputs and
 * channels shared), then the finished samples out to the sink. */
#include "stream_internal.h"

#include <float.h>
#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

/* W and H non-negative and finite; each output a set of distinct indices < K */
static int kve_check(const kve_streamShape *s, const double *W, const double *H, int K,
                     const kve_output *outs, int nOuts)
{
    const size_t nw = (size_t)s->rows * (size_t)K, nh = (size_t)K * (size_t)s->frames;
    for (size_t i = 0; i < nw; i++)
        if (!(W[i] >= 0.0 && W[i] <= DBL_MAX)) return KVE_BAD_ARGUMENT;
    for (size_t i = 0; i < nh; i++)
        if (!(H[i] >= 0.0 && H[i] <= DBL_MAX)) return KVE_BAD_ARGUMENT;
    int *seen = calloc((size_t)K, sizeof(int)); /* the last output that held k, from 1 */
    if (!seen) return KVE_NO_MEMORY;
    int rc = KVE_OK;
    for (int o = 0; o < nOuts && rc == KVE_OK; o++) {
        if (!outs[o].comps || outs[o].count < 1) rc = KVE_BAD_ARGUMENT;
        for (int i = 0; rc == KVE_OK && i < outs[o].count; i++) {
            const int k = outs[o].comps[i];
            if (k < 0 || k >= K || seen[k] == o + 1)
                rc = KVE_BAD_ARGUMENT;
            else
                seen[k] = o + 1;
        }
    }
    free(seen);
    return rc;
}

/* g over 2 N (the packed inverse's gain) and over the overlap sum of g^2 at
 * its place: frames start on multiples of the hop from the lead, so a
 * sample's place in every frame over it is the same modulo the hop */
static double *kve_synthesisWindow(const double *g, int N, int hop)
{
    double *gs = malloc((size_t)N * sizeof(double)), *d = calloc((size_t)hop, sizeof(double));
    if (!gs || !d) {
        free(gs);
        free(d);
        return NULL;
    }
    for (int i = 0; i < N; i++) d[i % hop] += g[i] * g[i];
    for (int i = 0; i < N; i++) gs[i] = g[i] > 0.0 ? g[i] / (2.0 * (double)N * d[i % hop]) : 0.0;
    free(d);
    return gs;
}

/* also for a pass whose init failed part way */
static void kve_passFree(kve_pass *p)
{
    kve_framesFree(&p->f);
    free(p->dbl.Wt);
    free(p->dbl.inv);
    free(p->dbl.acc);
    free(p->dbl.gs);
    free(p->sgl.Wt);
    free(p->sgl.inv);
    free(p->sgl.acc);
    free(p->sgl.gs);
    free(p->sgl.x);
    free(p->sgl.g);
    free(p->spC);
    free(p->spInv);
    for (int i = 0; i < 2; i++) {
        free(p->dbl.work[i]);
        free(p->sgl.work[i]);
        free(p->spM[i]);
        vDSP_destroy_fftsetup(p->sgl.setup[i]);
    }
}

/* the spatial filter's terms of each component at each bin, from its two
 * rows w = (w_L, w_R): w_L^2 / |w|, w_L w_R / |w| and w_R^2 / |w| (all 0
 * where w is), formed without squaring w */
static int kve_spatialInit(kve_pass *p, const double *W)
{
    const kve_streamShape *s = p->f.s;
    const int K = p->K;
    const size_t bins = (size_t)s->bins;
    p->spC = malloc(3 * bins * (size_t)K * sizeof(float));
    p->spInv = malloc(3 * bins * KVE_BLOCK * sizeof(double));
    for (int i = 0; i < 2; i++) p->spM[i] = malloc(3 * bins * sizeof(double));
    if (!p->spC || !p->spInv || !p->spM[0] || !p->spM[1]) return KVE_NO_MEMORY;
    for (size_t k = 0; k < (size_t)K; k++)
        for (size_t b = 0; b < bins; b++) {
            const double l = W[b * (size_t)K + k], r = W[(bins + b) * (size_t)K + k];
            const double n = hypot(l, r), ul = n > 0.0 ? l / n : 0.0, ur = n > 0.0 ? r / n : 0.0;
            float *c = p->spC + k * 3 * bins + b;
            c[0] = (float)(l * ul);
            c[bins] = (float)(l * ur);
            c[2 * bins] = (float)(r * ur);
        }
    return KVE_OK;
}

/* the single-precision buffers, from W and the double synthesis window */
static int kve_singleInit(kve_pass *p, const double *W, const double *gs)
{
    const kve_streamShape *s = p->f.s;
    const size_t rows = (size_t)s->rows, K = (size_t)p->K, ld = p->f.sgram[0].ld;
    kve_passSingle *b = &p->sgl;
    if (!p->spatial) {
        b->Wt = malloc(rows * K * sizeof(float));
        b->inv = malloc(rows * KVE_BLOCK * sizeof(float));
    }
    b->acc = calloc((size_t)p->units * (size_t)p->accLen, sizeof(float));
    b->gs = malloc((size_t)s->N * sizeof(float));
    b->x = malloc((size_t)p->f.ch * KVE_BLOCK * ld * sizeof(float));
    b->g = malloc((size_t)s->N * sizeof(float));
    bool ok = (p->spatial || (b->Wt && b->inv)) && b->acc && b->gs && b->x && b->g;
    for (int i = 0; i < 2 && ok; i++) {
        b->work[i] = malloc((2 * ld + (size_t)s->bins) * sizeof(float));
        b->setup[i] =
            i < p->f.threads ? vDSP_create_fftsetup(p->f.sgram[0].log2n, kFFTRadix2) : NULL;
        ok = b->work[i] && (b->setup[i] || i >= p->f.threads);
    }
    if (!ok) return KVE_NO_MEMORY;
    if (!p->spatial)
        for (size_t r = 0; r < rows; r++)
            for (size_t k = 0; k < K; k++) b->Wt[k * rows + r] = (float)W[r * K + k];
    for (int i = 0; i < s->N; i++) {
        b->gs[i] = (float)gs[i];
        b->g[i] = (float)p->f.sgram[0].g[i];
    }
    return KVE_OK;
}

static int kve_passInit(kve_pass *p, const kve_streamShape *s, const double *W, int threads)
{
    const size_t rows = (size_t)s->rows, K = (size_t)p->K;
    int rc = kve_framesInit(&p->f, s, false, threads);
    if (rc != KVE_OK) return rc;
    if (p->single) p->f.most = KVE_MOST_FOR_FLOAT(s->N);
    p->accLen = (long)(KVE_BLOCK - 1) * s->hop + s->N;
    kve_passDouble *b = &p->dbl;
    b->gs = kve_synthesisWindow(p->f.sgram[0].g, s->N, s->hop);
    if (!b->gs) return KVE_NO_MEMORY;
    if (p->spatial && (rc = kve_spatialInit(p, W)) != KVE_OK) return rc;
    if (p->single) return kve_singleInit(p, W, b->gs);
    b->acc = calloc((size_t)p->units * (size_t)p->accLen, sizeof(double));
    for (int i = 0; i < 2; i++)
        b->work[i] = malloc((2 * p->f.sgram[0].ld + (size_t)s->bins) * sizeof(double));
    if (!b->acc || !b->work[0] || !b->work[1]) return KVE_NO_MEMORY;
    if (p->spatial) return KVE_OK;
    b->Wt = malloc(rows * K * sizeof(double));
    b->inv = malloc(rows * KVE_BLOCK * sizeof(double));
    if (!b->Wt || !b->inv) return KVE_NO_MEMORY;
    for (size_t r = 0; r < rows; r++)
        for (size_t k = 0; k < K; k++) b->Wt[k * rows + r] = W[r * K + k];
    return KVE_OK;
}

/* where the finished samples go: one of the two sinks */
typedef struct kve_anySink {
    kve_sink d;
    kve_sinkSingle s;
} kve_anySink;

/* the block's finished samples to the sink, then the overlap-add moved on
 * to the next block's first sample */
static int kve_emit(kve_pass *p, kve_anySink sink, bool last)
{
    const kve_streamShape *s = p->f.s;
    const long S0 = p->f.inStart, step = (long)p->f.nb * s->hop;
    const long end = last ? S0 + step - s->hop + s->N : S0 + step;
    const long a = S0 > 0 ? S0 : 0, b = end < s->length ? end : s->length;
    const int ch = p->f.ch;
    const size_t cell = p->single ? sizeof(float) : sizeof(double);
    char *const acc0 = p->single ? (char *)p->sgl.acc : (char *)p->dbl.acc;
    for (int o = 0; b > a && o < p->units / ch; o++) {
        const void *at[KVE_MOST_CHANNELS] = {NULL};
        for (int c = 0; c < ch; c++)
            at[c] = acc0 + ((size_t)(o * ch + c) * (size_t)p->accLen + (size_t)(a - S0)) * cell;
        const int w = p->single ? sink.s.write(sink.s.user, o, a, b - a, (const float *const *)at)
                                : sink.d.write(sink.d.user, o, a, b - a, (const double *const *)at);
        if (w != 0) return KVE_SINK_FAILED;
    }
    for (int u = 0; !last && u < p->units; u++) {
        char *acc = acc0 + (size_t)u * (size_t)p->accLen * cell;
        const size_t keep = (size_t)(p->accLen - step);
        memmove(acc, acc + (size_t)step * cell, keep * cell); /* the rest is set, not added */
    }
    return KVE_OK;
}

static int kve_block(kve_pass *p, kve_source src, kve_anySink sink, long t0, size_t nb)
{
    const int rc = kve_framesRead(&p->f, src, t0, nb);
    if (rc != KVE_OK) return rc;
    kve_part sp[2] = {{.p = p, .part = 0, .j0 = 0, .j1 = nb / 2},
                      {.p = p, .part = 1, .j0 = nb / 2, .j1 = nb}};
    kve_runTwo(kve_spectraPart, &sp[0], &sp[1], p->f.threads);
    /* several channels: half of them each, so each thread reads its own
     * channels' spectra; mono: half of the outputs each */
    const int ch = p->f.ch, nOuts = p->units / ch;
    /* both channels of half the outputs each for the spatial filter, which
     * reads both channels' spectra for every output */
    const bool byChannel = ch >= 2 && !p->spatial;
    const int half = byChannel ? nOuts : (nOuts + 1) / 2, cHalf = byChannel ? ch / 2 : 1;
    kve_part ip[2] = {{.p = p, .part = 0, .c0 = 0, .c1 = cHalf, .o0 = 0, .o1 = half},
                      {.p = p,
                       .part = 1,
                       .c0 = byChannel ? cHalf : 0,
                       .c1 = ch,
                       .o0 = byChannel ? 0 : half,
                       .o1 = nOuts}};
    const bool two = byChannel || half < nOuts;
    kve_runTwo(kve_inversePart, &ip[0], two ? &ip[1] : NULL, p->f.threads);
    return kve_emit(p, sink, t0 + (long)nb == p->f.s->frames);
}

/* W and H within float's range, for the single-precision pass */
static bool kve_fitsSingle(const double *x, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (!(x[i] <= FLT_MAX)) return false;
    return true;
}

static kve_status kve_resynth(const kve_streamShape *s, kve_source src, const double *W,
                              const double *H, int K, const kve_output *outs, int nOuts,
                              kve_anySink sink, int threads, bool single, kve_filter filter)
{
    if (!s || s->N < 2 || s->frames < 1 || !src.read ||
        !(single ? !!sink.s.write : !!sink.d.write) || !W || !H || K < 1 || !outs || nOuts < 1 ||
        nOuts > INT_MAX / 2)
        return KVE_BAD_ARGUMENT;
    int rc = kve_check(s, W, H, K, outs, nOuts);
    if (rc == KVE_OK && single &&
        !(kve_fitsSingle(W, (size_t)s->rows * (size_t)K) &&
          kve_fitsSingle(H, (size_t)K * (size_t)s->frames)))
        rc = KVE_BAD_ARGUMENT;
    if (rc != KVE_OK) return rc;
    if (filter != KVE_MASKS && filter != KVE_SPATIAL) return KVE_BAD_ARGUMENT;
    kve_pass p = {.H = H,
                  .K = K,
                  .outs = outs,
                  .units = nOuts * s->channels,
                  .single = single,
                  .spatial = filter == KVE_SPATIAL && s->stacked && s->channels == 2};
    rc = kve_passInit(&p, s, W, threads);
    for (long t0 = 0; rc == KVE_OK && t0 < s->frames; t0 += KVE_BLOCK) {
        const size_t nb = s->frames - t0 < KVE_BLOCK ? (size_t)(s->frames - t0) : KVE_BLOCK;
        rc = kve_block(&p, src, sink, t0, nb);
    }
    kve_passFree(&p);
    return rc;
}

kve_status kve_streamResynth(const kve_streamShape *s, kve_source src, const double *W,
                             const double *H, int K, const kve_output *outs, int nOuts,
                             kve_sink sink, int threads)
{
    return kve_resynth(s, src, W, H, K, outs, nOuts, (kve_anySink){.d = sink}, threads, false,
                       KVE_MASKS);
}

kve_status kve_streamResynthSingle(const kve_streamShape *s, kve_source src, const double *W,
                                   const double *H, int K, const kve_output *outs, int nOuts,
                                   kve_sinkSingle sink, int threads)
{
    return kve_resynth(s, src, W, H, K, outs, nOuts, (kve_anySink){.s = sink}, threads, true,
                       KVE_MASKS);
}

kve_status kve_streamResynthFiltered(const kve_streamShape *s, kve_source src, const double *W,
                                     const double *H, int K, const kve_output *outs, int nOuts,
                                     kve_sink sink, int threads, kve_filter filter)
{
    return kve_resynth(s, src, W, H, K, outs, nOuts, (kve_anySink){.d = sink}, threads, false,
                       filter);
}

kve_status kve_streamResynthSingleFiltered(const kve_streamShape *s, kve_source src,
                                           const double *W, const double *H, int K,
                                           const kve_output *outs, int nOuts, kve_sinkSingle sink,
                                           int threads, kve_filter filter)
{
    return kve_resynth(s, src, W, H, K, outs, nOuts, (kve_anySink){.s = sink}, threads, true,
                       filter);
}
