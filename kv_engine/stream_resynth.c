/* The work of one block in the resynthesis pass: the spectra and the model's
 * reciprocal per frame, then each output's mask, inverse and overlap-add. */
#include "stream_internal.h"

/* 1 / (w.h + K e) for every row of frame j of the block */
static void kvs_model_inverse(const kvs_pass *p, size_t j)
{
    const kvs_shape *s = p->f.s;
    const size_t rows = (size_t)s->rows, t = (size_t)p->f.t0 + j;
    double *inv = p->inv + j * rows;
    const double h0 = p->H[t];
    for (size_t r = 0; r < rows; r++)
        inv[r] = p->Wt[r] * h0;
    for (int k = 1; k < p->K; k++) {
        const double hk = p->H[(size_t)k * (size_t)s->frames + t], *w = p->Wt + (size_t)k * rows;
        for (size_t r = 0; r < rows; r++)
            inv[r] += w[r] * hk;
    }
    const double ke = (double)p->K * KVS_FLOOR;
    for (size_t r = 0; r < rows; r++)
        inv[r] = 1.0 / (inv[r] + ke);
}

void *kvs_spectra_part(void *arg)
{
    const kvs_part *q = arg;
    kvs_frames_forward(&q->p->f, q->j0, q->j1, q->part);
    for (size_t j = q->j0; j < q->j1; j++)
        kvs_model_inverse(q->p, j);
    return NULL;
}

/* the numerator of output o's mask over channel c's rows in frame j:
 * sum over its set of (w_k h_k + e) */
static void kvs_numerator(const kvs_pass *p, int o, int c, size_t j, double *restrict m)
{
    const kvs_shape *s = p->f.s;
    const size_t rows = (size_t)s->rows, bins = (size_t)s->bins, t = (size_t)p->f.t0 + j;
    const size_t r0 = s->stacked ? (size_t)c * bins : 0;
    const kvs_output *out = &p->outs[o];
    const double e = (double)out->count * KVS_FLOOR;
    for (int i = 0; i < out->count; i++) {
        const size_t k = (size_t)out->comps[i];
        const double hk = p->H[k * (size_t)s->frames + t];
        const double *restrict w = p->Wt + k * rows + r0;
        if (i == 0)
            for (size_t b = 0; b < bins; b++)
                m[b] = w[b] * hk + e;
        else
            for (size_t b = 0; b < bins; b++)
                m[b] += w[b] * hk;
    }
}

/* frame j of channel c through the mask m x inv into y, packed */
static void kvs_apply(const kvs_pass *p, int c, size_t j, const double *restrict m,
                      double *restrict y)
{
    const qm_stft_work *w = &p->f.spec[c];
    const size_t h = (size_t)w->N / 2, io = w->io;
    const double *restrict x = kvs_frame(&p->f, c, j);
    const double *restrict inv = p->inv + j * (size_t)p->f.s->rows +
                                 (p->f.s->stacked ? (size_t)c * (size_t)p->f.s->bins : 0);
    y[0] = m[0] * inv[0] * x[0];
    y[io] = m[h] * inv[h] * x[io];
    for (size_t b = 1; b < h; b++) {
        const double g = m[b] * inv[b];
        y[b] = g * x[b];
        y[io + b] = g * x[io + b];
    }
}

/* output unit u's frame j: masked, inverted, windowed and added at its place */
static void kvs_add_frame(const kvs_pass *p, int u, size_t j, double *restrict m, int part)
{
    const int c = u % p->f.ch;
    const qm_stft_work *w = &p->f.spec[c];
    const size_t h = (size_t)w->N / 2, io = w->io;
    double *restrict y = p->work[part];
    kvs_numerator(p, u / p->f.ch, c, j, m);
    kvs_apply(p, c, j, m, y);
    DSPDoubleSplitComplex z = { y, y + io };
    vDSP_fft_zripD(kvs_setup(&p->f, part), &z, 1, w->log2n, kFFTDirection_Inverse);
    double *restrict a = p->acc + (size_t)u * (size_t)p->acc_len + j * (size_t)p->f.s->hop;
    const double *restrict gs = p->gs;
    for (size_t k = 0; k < h; k++) {
        a[2 * k] += gs[2 * k] * y[k];
        a[2 * k + 1] += gs[2 * k + 1] * y[io + k];
    }
}

void *kvs_inverse_part(void *arg)
{
    const kvs_part *q = arg;
    const kvs_pass *p = q->p;
    double *m = p->work[q->part] + p->f.spec[0].ld;
    /* unit by unit: the overlap-add stays in cache from frame to frame, the
     * spectra are only read */
    for (int u = q->u0; u < q->u1; u++)
        for (size_t j = 0; j < p->f.nb; j++)
            kvs_add_frame(p, u, j, m, q->part);
    return NULL;
}
