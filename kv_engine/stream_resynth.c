/* The work of one block in the resynthesis pass: the spectra and the model's
 * reciprocal per frame, then each output's mask, inverse and overlap-add. */
#include "stream_internal.h"

/* copies of the per-bin and per-sample loops in wider vectors, chosen when
 * the program loads; this file is built without fused multiply-adds (see
 * CMakeLists.txt), so every copy gives the same bits */
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define KVE_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define KVE_CLONES
#endif

/* 1 / (w.h + K e) for every row of frame j of the block */
KVE_CLONES static void kve_modelInverse(const kve_pass *p, size_t j)
{
    const kve_streamShape *s = p->f.s;
    const size_t rows = (size_t)s->rows, t = (size_t)p->f.t0 + j;
    double *inv = p->inv + j * rows;
    const double h0 = p->H[t];
    for (size_t r = 0; r < rows; r++) inv[r] = p->Wt[r] * h0;
    for (int k = 1; k < p->K; k++) {
        const double hk = p->H[(size_t)k * (size_t)s->frames + t], *w = p->Wt + (size_t)k * rows;
        for (size_t r = 0; r < rows; r++) inv[r] += w[r] * hk;
    }
    const double ke = (double)p->K * KVE_FLOOR;
    for (size_t r = 0; r < rows; r++) inv[r] = 1.0 / (inv[r] + ke);
}

void *kve_spectraPart(void *arg)
{
    const kve_part *q = arg;
    kve_framesForward(&q->p->f, q->j0, q->j1, q->part);
    for (size_t j = q->j0; j < q->j1; j++) kve_modelInverse(q->p, j);
    return NULL;
}

/* the rows of channel c within W's and the model's */
static size_t kve_row0(const kve_streamShape *s, int c)
{
    return s->stacked ? (size_t)c * (size_t)s->bins : 0;
}

/* the numerator of a group's mask over channel c's rows in frame j:
 * sum over its set of (w_k h_k + e) */
KVE_CLONES static void kve_numerator(const kve_pass *p, const kve_output *out, int c, size_t j,
                                     double *restrict m)
{
    const kve_streamShape *s = p->f.s;
    const size_t rows = (size_t)s->rows, bins = (size_t)s->bins, t = (size_t)p->f.t0 + j;
    const double e = (double)out->count * KVE_FLOOR;
    for (int i = 0; i < out->count; i++) {
        const size_t k = (size_t)out->comps[i];
        const double hk = p->H[k * (size_t)s->frames + t];
        const double *restrict w = p->Wt + k * rows + kve_row0(s, c);
        if (i == 0)
            for (size_t b = 0; b < bins; b++) m[b] = w[b] * hk + e;
        else
            for (size_t b = 0; b < bins; b++) m[b] += w[b] * hk;
    }
}

/* frame j of channel c through the mask (w hk + e) x inv into y, packed;
 * w is a component's column, or the group's numerator with hk = 1, e = 0 */
KVE_CLONES static void kve_apply(const kve_pass *p, int c, size_t j, const double *restrict w,
                                 double hk, double e, double *restrict y)
{
    const qm_stft_work *sw = &p->f.sgram[c];
    const size_t h = (size_t)sw->N / 2, io = sw->io;
    const double *restrict x = kve_frameAt(&p->f, c, j);
    const double *restrict inv = p->inv + j * (size_t)p->f.s->rows + kve_row0(p->f.s, c);
    y[0] = (w[0] * hk + e) * inv[0] * x[0];
    y[io] = (w[h] * hk + e) * inv[h] * x[io];
    for (size_t b = 1; b < h; b++) {
        const double g = (w[b] * hk + e) * inv[b];
        y[b] = g * x[b];
        y[io + b] = g * x[io + b];
    }
}

/* a += gs x the packed frame y (even samples, then odd at io) over 2 h
 * samples. Those from `fresh` on are the frame's alone so far in the block
 * (no earlier frame reaches them, the samples carried over end before), so
 * they are set, as 0 + v for the bits an addition to zero gives: the
 * overlap-add needs no clearing between blocks. */
KVE_CLONES static void kve_overlapAdd(const double *restrict y, size_t io,
                                      const double *restrict gs, size_t h, size_t fresh,
                                      double *restrict a)
{
    const size_t f2 = fresh / 2;
    for (size_t k = 0; k < f2; k++) {
        a[2 * k] += gs[2 * k] * y[k];
        a[2 * k + 1] += gs[2 * k + 1] * y[io + k];
    }
    size_t k = f2;
    if (fresh % 2) {
        a[2 * k] += gs[2 * k] * y[k];
        a[2 * k + 1] = 0.0 + gs[2 * k + 1] * y[io + k];
        k++;
    }
    for (; k < h; k++) {
        a[2 * k] = 0.0 + gs[2 * k] * y[k];
        a[2 * k + 1] = 0.0 + gs[2 * k + 1] * y[io + k];
    }
}

/* output o on channel c, frame j: masked, inverted, windowed and added at
 * its place in acc */
static void kve_addFrame(const kve_pass *p, int o, int c, size_t j, double *restrict acc, int part)
{
    const kve_streamShape *s = p->f.s;
    const qm_stft_work *sw = &p->f.sgram[c];
    const size_t h = (size_t)sw->N / 2, io = sw->io;
    const kve_output *out = &p->outs[o];
    double *restrict y = p->work[part];
    if (out->count == 1) {
        const size_t k = (size_t)out->comps[0];
        const double hk = p->H[k * (size_t)s->frames + (size_t)p->f.t0 + j];
        kve_apply(p, c, j, p->Wt + k * (size_t)s->rows + kve_row0(s, c), hk, KVE_FLOOR, y);
    } else {
        double *m = y + sw->ld;
        kve_numerator(p, out, c, j, m);
        kve_apply(p, c, j, m, 1.0, 0.0, y);
    }
    DSPDoubleSplitComplex z = {y, y + io};
    vDSP_fft_zripD(kve_setupOf(&p->f, part), &z, 1, sw->log2n, kFFTDirection_Inverse);
    kve_overlapAdd(y, io, p->gs, h, (size_t)(sw->N - s->hop), acc + j * (size_t)s->hop);
}

/* frames handled unit by unit: their spectra stay in cache across the
 * units, each unit's overlap-add across the frames */
enum { KVE_SUB = 8 };

void *kve_inversePart(void *arg)
{
    const kve_part *q = arg;
    const kve_pass *p = q->p;
    const int ch = p->f.ch;
    for (size_t j0 = 0; j0 < p->f.nb; j0 += KVE_SUB) {
        const size_t j1 = j0 + KVE_SUB < p->f.nb ? j0 + KVE_SUB : p->f.nb;
        for (int c = q->c0; c < q->c1; c++)
            for (int o = q->o0; o < q->o1; o++) {
                double *acc = p->acc + (size_t)(o * ch + c) * (size_t)p->accLen;
                for (size_t j = j0; j < j1; j++) kve_addFrame(p, o, c, j, acc, q->part);
            }
    }
    return NULL;
}
