/* The input of one block of frames, read from the source as it is needed,
 * and the block's windowed forward transforms. */
#include "stream_internal.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

/* the square-root Blackman of a window shorter than the FFT size, zeros on
 * to N (a window of N samples is qm_stft_work_init's own) */
static void kve_shortWindow(qm_stft_work *w, int window)
{
    if (window >= w->N) return;
    memset(w->g, 0, (size_t)w->N * sizeof(double));
    vDSP_blkman_windowD(w->g, (vDSP_Length)window, 0);
    for (int k = 0; k < window; k++) w->g[k] = sqrt(w->g[k] > 0.0 ? w->g[k] : 0.0);
}

int kve_framesInit(kve_frames *f, const kve_streamShape *s, bool mix, int threads)
{
    *f = (kve_frames){.s = s,
                      .ch = s->channels,
                      .mix = mix && s->channels >= 2,
                      .threads = threads == 1 ? 1 : 2,
                      .most = DBL_MAX};
    f->inLen = (long)(KVE_BLOCK - 1) * s->hop + s->N;
    const int packs = f->mix ? 1 : f->ch;
    bool ok = true;
    for (int c = 0; c < f->ch; c++)
        ok &= (f->in[c] = malloc((size_t)f->inLen * sizeof(double))) != NULL;
    for (int c = 0; c < packs && ok; c++) {
        ok = qm_stft_work_init(&f->sgram[c], s->N) == 0;
        if (ok) kve_shortWindow(&f->sgram[c], s->window);
    }
    for (int i = 0; i < f->threads && ok; i++)
        ok = (f->setup[i] = vDSP_create_fftsetupD(f->sgram[0].log2n, kFFTRadix2)) != NULL;
    if (!ok) kve_framesFree(f);
    return ok ? KVE_OK : KVE_NO_MEMORY;
}

void kve_framesFree(kve_frames *f)
{
    for (int c = 0; c < KVE_MOST_CHANNELS; c++) {
        free(f->in[c]);
        f->in[c] = NULL;
        qm_stft_work_free(&f->sgram[c]);
    }
    for (int i = 0; i < 2; i++) {
        vDSP_destroy_fftsetupD(f->setup[i]);
        f->setup[i] = NULL;
    }
}

/* samples [a, b) into each channel's in at offset a - inStart: zeros outside
 * the sound, the source within it */
static int kve_fill(kve_frames *f, kve_source src, long a, long b)
{
    const long L = f->s->length, lo = a > 0 ? a : 0, hi = b < L ? b : L;
    double *at[KVE_MOST_CHANNELS] = {NULL};
    for (int c = 0; c < f->ch; c++) {
        double *x = f->in[c] + (a - f->inStart);
        for (long p = a; p < b; p++)
            if (p < 0 || p >= L) x[p - a] = 0.0;
        if (hi > lo) at[c] = x + (lo - a);
    }
    if (hi <= lo) return KVE_OK;
    if (src.read(src.user, lo, hi - lo, at) != 0) return KVE_SOURCE_FAILED;
    for (int c = 0; c < f->ch; c++)
        for (long i = 0; i < hi - lo; i++)
            if (!(fabs(at[c][i]) <= f->most)) return KVE_NOT_FINITE;
    return KVE_OK;
}

int kve_framesRead(kve_frames *f, kve_source src, long t0, size_t nb)
{
    const kve_streamShape *s = f->s;
    const long start = t0 * s->hop - s->lead, end = start + (long)(nb - 1) * s->hop + s->N;
    const long keep = f->inStart + f->inHave - start;
    if (f->inHave > 0 && start >= f->inStart && keep > 0) {
        for (int c = 0; c < f->ch; c++)
            memmove(f->in[c], f->in[c] + (start - f->inStart), (size_t)keep * sizeof(double));
        f->inHave = keep;
    } else {
        f->inHave = 0;
    }
    f->inStart = start;
    f->t0 = t0;
    f->nb = nb;
    const int rc = kve_fill(f, src, start + f->inHave, end);
    f->inHave = rc == KVE_OK ? end - start : 0;
    return rc;
}

double *kve_frameAt(const kve_frames *f, int c, size_t j)
{
    return f->sgram[c].blk + j * f->sgram[c].ld;
}

/* windows frame j's samples of channel c (or of the channels' sum) and packs
 * even samples as real, odd as imaginary parts */
static void kve_pack(const kve_frames *f, int c, size_t j)
{
    const qm_stft_work *w = &f->sgram[c];
    const size_t h = (size_t)w->N / 2, off = j * (size_t)f->s->hop;
    const double *g = w->g, *x = f->in[c] + off;
    double *fr = kve_frameAt(f, c, j), *fi = fr + w->io;
    if (f->mix) { /* the channels summed in order, the window applied once */
        for (size_t k = 0; k < h; k++) {
            double re = x[2 * k] + f->in[1][off + 2 * k],
                   im = x[2 * k + 1] + f->in[1][off + 2 * k + 1];
            for (int d = 2; d < f->ch; d++) {
                re += f->in[d][off + 2 * k];
                im += f->in[d][off + 2 * k + 1];
            }
            fr[k] = g[2 * k] * re;
            fi[k] = g[2 * k + 1] * im;
        }
        return;
    }
    for (size_t k = 0; k < h; k++) {
        fr[k] = g[2 * k] * x[2 * k];
        fi[k] = g[2 * k + 1] * x[2 * k + 1];
    }
}

void kve_framesForward(const kve_frames *f, size_t j0, size_t j1, int part)
{
    const int packs = f->mix ? 1 : f->ch;
    for (size_t j = j0; j < j1; j++)
        for (int c = 0; c < packs; c++) {
            kve_pack(f, c, j);
            double *fr = kve_frameAt(f, c, j);
            DSPDoubleSplitComplex z = {fr, fr + f->sgram[c].io};
            vDSP_fft_zripD(kve_setupOf(f, part), &z, 1, f->sgram[c].log2n, kFFTDirection_Forward);
        }
}

FFTSetupD kve_setupOf(const kve_frames *f, int part)
{
    return f->setup[f->threads == 2 ? part : 0];
}

void kve_runTwo(void *(*run)(void *), void *a, void *b, int threads)
{
    if (threads == 2) {
        qm_run_pair(run, a, b);
        return;
    }
    run(a);
    if (b) run(b);
}
