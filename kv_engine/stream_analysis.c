/* The magnitude spectrogram, block by block, straight into the caller's V. */
#include "stream_internal.h"

#include <math.h>

typedef struct analysis_part {
    const kvs_frames *f;
    double *V;     /* V as doubles, */
    float *Vf;     /* or as floats */
    size_t j0, j1; /* frames of the block */
    int part;
} analysis_part;

static inline void kvs_put(const analysis_part *p, size_t i, double m)
{
    if (p->Vf)
        p->Vf[i] = (float)m;
    else
        p->V[i] = m;
}

/* |X| of frames j0 .. j1 - 1 of pack c into rows c x bins .. of V; the packed
 * values are twice the DFT's */
static void kvs_magnitudes(const analysis_part *p, int c)
{
    const kvs_shape *s = p->f->s;
    const size_t frames = (size_t)s->frames, h = (size_t)s->N / 2, io = p->f->sgram[c].io;
    const size_t row = (size_t)c * (size_t)s->bins * frames + (size_t)p->f->t0;
    for (size_t j = p->j0; j < p->j1; j++) {
        const double *fr = kvs_frame(p->f, c, j);
        kvs_put(p, row + j, 0.5 * fabs(fr[0]));
        kvs_put(p, row + h * frames + j, 0.5 * fabs(fr[io]));
    }
    for (size_t b = 1; b < h; b++) {
        const size_t v = row + b * frames;
        for (size_t j = p->j0; j < p->j1; j++) {
            const double *fr = kvs_frame(p->f, c, j);
            kvs_put(p, v + j, 0.5 * sqrt(fr[b] * fr[b] + fr[io + b] * fr[io + b]));
        }
    }
}

static void *kvs_analyse_part(void *arg)
{
    const analysis_part *p = arg;
    kvs_frames_forward(p->f, p->j0, p->j1, p->part);
    for (int c = 0; c < (p->f->mix ? 1 : p->f->ch); c++) kvs_magnitudes(p, c);
    return NULL;
}

static int kvs_analyse_into(const kvs_shape *s, kvs_source src, double *V, float *Vf, int threads)
{
    if (!s || s->N < 2 || s->frames < 1 || !src.read || (!V && !Vf)) return KVS_ERR_ARG;
    kvs_frames f;
    int rc = kvs_frames_init(&f, s, !s->stacked, threads);
    for (long t0 = 0; rc == KVS_OK && t0 < s->frames; t0 += KVS_BLOCK) {
        const size_t nb = s->frames - t0 < KVS_BLOCK ? (size_t)(s->frames - t0) : KVS_BLOCK;
        rc = kvs_frames_read(&f, src, t0, nb);
        if (rc != KVS_OK) break;
        analysis_part part[2] = {{&f, V, Vf, 0, nb / 2, 0}, {&f, V, Vf, nb / 2, nb, 1}};
        kvs_run_two(kvs_analyse_part, &part[0], &part[1], f.threads);
    }
    kvs_frames_free(&f);
    return rc;
}

int kvs_analyse(const kvs_shape *s, kvs_source src, double *V, int threads)
{
    return kvs_analyse_into(s, src, V, NULL, threads);
}

int kvs_analyse_float(const kvs_shape *s, kvs_source src, float *V, int threads)
{
    return kvs_analyse_into(s, src, NULL, V, threads);
}
