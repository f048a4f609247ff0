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

/* the mask of output o over channel c's rows in frame j */
static void kvs_mask(const kvs_pass *p, int o, int c, size_t j, double *m)
{
    const kvs_shape *s = p->f.s;
    const size_t rows = (size_t)s->rows, bins = (size_t)s->bins, t = (size_t)p->f.t0 + j;
    const size_t r0 = s->stacked ? (size_t)c * bins : 0;
    const kvs_output *out = &p->outs[o];
    const double *inv = p->inv + j * rows + r0;
    for (size_t b = 0; b < bins; b++)
        m[b] = (double)out->count * KVS_FLOOR;
    for (int i = 0; i < out->count; i++) {
        const size_t k = (size_t)out->comps[i];
        const double hk = p->H[k * (size_t)s->frames + t], *w = p->Wt + k * rows + r0;
        for (size_t b = 0; b < bins; b++)
            m[b] += w[b] * hk;
    }
    for (size_t b = 0; b < bins; b++)
        m[b] *= inv[b];
}

/* the masked frame's inverse, windowed and added at frame j's place */
static void kvs_add_frame(const kvs_pass *p, int u, int c, size_t j, const double *m, int part)
{
    const qm_stft_work *w = &p->f.spec[c];
    const size_t h = (size_t)w->N / 2, io = w->io;
    const double *x = kvs_frame(&p->f, c, j);
    double *y = p->work[part];
    y[0] = m[0] * x[0];
    y[io] = m[h] * x[io];
    for (size_t b = 1; b < h; b++) {
        y[b] = m[b] * x[b];
        y[io + b] = m[b] * x[io + b];
    }
    DSPDoubleSplitComplex z = { y, y + io };
    vDSP_fft_zripD(kvs_setup(&p->f, part), &z, 1, w->log2n, kFFTDirection_Inverse);
    double *a = p->acc + (size_t)u * (size_t)p->acc_len + j * (size_t)p->f.s->hop;
    const double *gs = p->gs;
    for (size_t k = 0; k < h; k++) {
        a[2 * k] += gs[2 * k] * y[k];
        a[2 * k + 1] += gs[2 * k + 1] * y[io + k];
    }
}

void *kvs_inverse_part(void *arg)
{
    const kvs_part *q = arg;
    const kvs_pass *p = q->p;
    const int ch = p->f.ch;
    double *m = p->work[q->part] + p->f.spec[0].ld;
    /* unit by unit: the overlap-add stays in cache from frame to frame, the
     * spectra are only read */
    for (int u = q->u0; u < q->u1; u++)
        for (size_t j = 0; j < p->f.nb; j++) {
            kvs_mask(p, u / ch, u % ch, j, m);
            kvs_add_frame(p, u, u % ch, j, m, q->part);
        }
    return NULL;
}
