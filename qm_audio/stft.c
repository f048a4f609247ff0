/* Short-time Fourier transform and its windowed overlap-add inverse. */
#include "qm_audio.h"
#include "stft_internal.h"

#include <math.h>
#include <pthread.h>
#include <stdbool.h>
#include <stdlib.h>

int qm_stft_check(FFTSetupD setup, int N, int hop)
{
    if (!setup || N < 2 || (N & (N - 1)) != 0 || hop < 0)
        return -1;
    return 0;
}

int qm_stft_work_init(qm_stft_work *w, int N)
{
    size_t n = (size_t)N;
    w->N = N;
    w->log2n = 0;
    while (((size_t)1 << (w->log2n + 1)) <= n)
        w->log2n++;
    /* Pads keep the frames of a block, and the two halves of a frame, from
     * falling on the same cache sets when rows are gathered or scattered
     * across the block (N doubles apart is a multiple of the cache's way size). */
    w->io = n / 2 + 8;
    w->ld = n + 24;
    w->g = malloc(n * sizeof(double));
    w->blk = malloc(QM_FRAME_BLOCK * w->ld * sizeof(double));
    if (!w->g || !w->blk) {
        qm_stft_work_free(w);
        return -1;
    }
    vDSP_blkman_windowD(w->g, n, 0);
    for (size_t k = 0; k < n; k++)
        w->g[k] = sqrt(w->g[k] > 0.0 ? w->g[k] : 0.0);
    return 0;
}

void qm_stft_work_free(qm_stft_work *w)
{
    free(w->g);
    free(w->blk);
    w->g = NULL;
    w->blk = NULL;
}

size_t qm_frame_cut(size_t cols)
{
    const size_t cut = (cols / 2 + QM_FRAME_BLOCK - 1) / QM_FRAME_BLOCK * QM_FRAME_BLOCK;
    return cut < cols ? cut : cols;
}

void qm_run_pair(void *(*run)(void *), void *first, void *second)
{
    pthread_t helper;
    const bool threaded = second && pthread_create(&helper, NULL, run, second) == 0;
    run(first);
    if (threaded)
        pthread_join(helper, NULL);
    else if (second)
        run(second);
}

/* the frames [t0, t1) of one call, with their own scratch */
typedef struct stft_part {
    FFTSetupD setup;
    const double *x;
    size_t cols, t0, t1;
    int hop;
    double *re, *im;
    qm_stft_work w;
} stft_part;

static void *stft_run(void *arg)
{
    const stft_part *p = arg;
    const qm_stft_work *w = &p->w;
    const size_t h = (size_t)w->N / 2, cols = p->cols;
    const double *g = w->g;
    double *re = p->re, *im = p->im;

    for (size_t t0 = p->t0; t0 < p->t1; t0 += QM_FRAME_BLOCK) {
        const size_t nb = p->t1 - t0 < QM_FRAME_BLOCK ? p->t1 - t0 : QM_FRAME_BLOCK;
        for (size_t j = 0; j < nb; j++) {
            const double *s = p->x + (t0 + j) * (size_t)p->hop;
            double *fr = w->blk + j * w->ld, *fi = fr + w->io;
            /* window, and pack even samples as real and odd as imaginary parts */
            for (size_t k = 0; k < h; k++) {
                fr[k] = g[2 * k] * s[2 * k];
                fi[k] = g[2 * k + 1] * s[2 * k + 1];
            }
            DSPDoubleSplitComplex z = {fr, fi};
            vDSP_fft_zripD(p->setup, &z, 1, w->log2n, kFFTDirection_Forward);
        }
        /* the packed result is twice the DFT; DC and Nyquist share the first pair */
        for (size_t j = 0; j < nb; j++) {
            const double *fr = w->blk + j * w->ld, *fi = fr + w->io;
            re[t0 + j] = fr[0] / 2.0;
            im[t0 + j] = 0.0;
            re[h * cols + t0 + j] = fi[0] / 2.0;
            im[h * cols + t0 + j] = 0.0;
        }
        for (size_t b = 1; b < h; b++) {
            double *rr = re + b * cols + t0, *ri = im + b * cols + t0;
            const double *fr = w->blk + b, *fi = w->blk + w->io + b;
            for (size_t j = 0; j < nb; j++) {
                rr[j] = fr[j * w->ld] / 2.0;
                ri[j] = fi[j * w->ld] / 2.0;
            }
        }
    }
    return NULL;
}

/* Frames are independent, so two threads take half each when there are
 * enough of them. */
int qm_STFT(FFTSetupD setup, const double *x, int N, int numFrames, int hop, double *re, double *im)
{
    if (qm_stft_check(setup, N, hop) != 0)
        return -1;
    if (numFrames <= 0)
        return 0;
    const size_t cols = (size_t)numFrames, cut = qm_frame_cut(cols);
    const int parts = cut < cols ? 2 : 1;
    stft_part part[2];
    for (int i = 0; i < 2; i++)
        part[i] = (stft_part){.setup = setup,
                              .x = x,
                              .cols = cols,
                              .t0 = i == 0 ? 0 : cut,
                              .t1 = i == 0 && parts == 2 ? cut : cols,
                              .hop = hop,
                              .re = re,
                              .im = im};
    for (int i = 0; i < parts; i++)
        if (qm_stft_work_init(&part[i].w, N) != 0) {
            while (i-- > 0)
                qm_stft_work_free(&part[i].w);
            return -1;
        }
    qm_run_pair(stft_run, &part[0], parts == 2 ? &part[1] : NULL);
    for (int i = 0; i < parts; i++)
        qm_stft_work_free(&part[i].w);
    return 0;
}

/* rows of the spectrum asked for ahead of their use */
enum { QM_ROWS_AHEAD = 8 };

/* Packs columns t0 .. t0+nb-1 of the spectrum into the block of frames. Row 0
 * gives the real DC value, row N/2 the real Nyquist value; their imaginary
 * parts are never read. */
static void gather(const qm_spectrum_src *src, size_t t0, size_t nb, const qm_stft_work *w)
{
    const size_t h = (size_t)w->N / 2, cols = src->cols, n = w->ld;
    double *blk = w->blk;
    for (size_t b = 0; b <= h; b++) {
        const size_t at = b * cols + t0;
        /* DC goes to real[0], Nyquist to imaginary[0] */
        double *dr = b == h ? blk + w->io : blk + b;
        double *di = b == 0 || b == h ? NULL : blk + w->io + b;
        switch (src->kind) {
        case QM_SRC_PLAIN: {
            const double *r = src->re + at, *i = src->im + at;
            for (size_t j = 0; j < nb; j++)
                dr[j * n] = r[j];
            if (di)
                for (size_t j = 0; j < nb; j++)
                    di[j * n] = i[j];
            break;
        }
        case QM_SRC_GAINED: {
            const double *r = src->re + at, *i = src->im + at;
            const double *gain = src->gain + b * QM_FRAME_BLOCK;
            /* rows lie pages apart, out of the hardware prefetcher's sight */
            if (b + QM_ROWS_AHEAD <= h)
                for (size_t j = 0; j < nb; j += 8) {
                    __builtin_prefetch(r + QM_ROWS_AHEAD * cols + j);
                    __builtin_prefetch(i + QM_ROWS_AHEAD * cols + j);
                }
            if (di) /* both halves in one pass, so their rows are fetched together */
                for (size_t j = 0; j < nb; j++) {
                    dr[j * n] = gain[j] * r[j];
                    di[j * n] = gain[j] * i[j];
                }
            else
                for (size_t j = 0; j < nb; j++)
                    dr[j * n] = gain[j] * r[j];
            break;
        }
        case QM_SRC_NOISE: {
            const double *a = src->mag + at, *u1 = src->u1 + at, *u2 = src->u2 + at;
            for (size_t j = 0; j < nb; j++)
                dr[j * n] = a[j] * u1[j];
            if (di)
                for (size_t j = 0; j < nb; j++)
                    di[j * n] = a[j] * u2[j];
            break;
        }
        }
    }
}

/* how many of frame t's N samples fall before the seam's s1 */
static size_t seam_kept(const qm_seam *seam, size_t t, size_t N, int hop)
{
    const size_t at = t * (size_t)hop;
    if (seam->s1 <= at)
        return 0;
    return seam->s1 - at < N ? seam->s1 - at : N;
}

void qm_istft_block(FFTSetupD setup, const qm_stft_work *w, const qm_spectrum_src *src, size_t t0,
                    size_t nb, int hop, double *out, const qm_seam *seam)
{
    const size_t h = (size_t)w->N / 2;
    const double scale = 1.0 / (double)w->N;
    const double *g = w->g;
    gather(src, t0, nb, w);
    for (size_t j = 0; j < nb; j++) {
        double *fr = w->blk + j * w->ld, *fi = fr + w->io;
        DSPDoubleSplitComplex z = {fr, fi};
        vDSP_fft_zripD(setup, &z, 1, w->log2n, kFFTDirection_Inverse);
        /* unpack, scale to the inverse DFT, window and add */
        const size_t t = t0 + j, at = t * (size_t)hop;
        double *o = out + at;
        if (seam && t >= seam->f0 && t < seam->f1) {
            /* the samples before s1 go aside, the rest are added */
            double *sd = seam->side + (t - seam->f0) * 2 * h;
            const size_t lim = seam_kept(seam, t, 2 * h, hop);
            for (size_t i = 0; i < 2 * h; i++) {
                const double y = (i & 1 ? fi[i / 2] : fr[i / 2]) * scale;
                if (i < lim)
                    sd[i] = g[i] * y;
                else
                    o[i] += g[i] * y;
            }
            continue;
        }
        for (size_t k = 0; k < h; k++) {
            const double y0 = fr[k] * scale, y1 = fi[k] * scale;
            o[2 * k] += g[2 * k] * y0;
            o[2 * k + 1] += g[2 * k + 1] * y1;
        }
    }
}

void qm_seam_add(const qm_seam *seam, size_t N, int hop, double *out)
{
    for (size_t t = seam->f0; t < seam->f1; t++) {
        const size_t at = t * (size_t)hop, lim = seam_kept(seam, t, N, hop);
        const double *sd = seam->side + (t - seam->f0) * N;
        for (size_t i = 0; i < lim; i++)
            out[at + i] += sd[i];
    }
}

void qm_istft_run(FFTSetupD setup, const qm_stft_work *w, const qm_spectrum_src *src, int numFrames,
                  int hop, double *out)
{
    const size_t cols = (size_t)numFrames;
    for (size_t t0 = 0; t0 < cols; t0 += QM_FRAME_BLOCK) {
        const size_t nb = cols - t0 < QM_FRAME_BLOCK ? cols - t0 : QM_FRAME_BLOCK;
        qm_istft_block(setup, w, src, t0, nb, hop, out, NULL);
    }
}

int qm_ISTFT(FFTSetupD setup, const double *re, const double *im, int N, int numFrames, int hop,
             double *out)
{
    if (qm_stft_check(setup, N, hop) != 0)
        return -1;
    if (numFrames <= 0)
        return 0;
    qm_stft_work w;
    if (qm_stft_work_init(&w, N) != 0)
        return -1;
    qm_spectrum_src src = {.kind = QM_SRC_PLAIN, .cols = (size_t)numFrames, .re = re, .im = im};
    qm_istft_run(setup, &w, &src, numFrames, hop, out);
    qm_stft_work_free(&w);
    return 0;
}
