/* Resynthesis through a soft mask: out += ISTFT(X * mask / (model + 0.1)).
 * The gains are formed block of columns by block of columns, so no
 * spectrogram-sized scratch is needed. Two channels run side by side on two
 * threads; each channel's samples are summed in frame order as on one. */
#include "qm_audio.h"
#include "stft_internal.h"

#include <pthread.h>
#include <stdbool.h>
#include <stdlib.h>

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define QM_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define QM_CLONES
#endif

/* gain = mask / (model + 0.1) for columns t0 .. t0+nb-1 of every row, one add
 * and one correctly rounded division per value in every vector width */
QM_CLONES static void wiener_gains(const double *restrict mask, const double *restrict model,
                                   size_t rows, size_t cols, size_t t0, size_t nb,
                                   double *restrict gain)
{
    for (size_t b = 0; b < rows; b++) {
        const double *m = mask + b * cols + t0, *mo = model + b * cols + t0;
        double *g = gain + b * QM_FRAME_BLOCK;
        for (size_t j = 0; j < nb; j++)
            g[j] = m[j] / (mo[j] + 0.1);
    }
}

/* one channel with all its scratch taken beforehand, so that it cannot fail */
typedef struct wiener_channel {
    const double *mask, *model, *re, *im;
    size_t rows, cols;
    FFTSetupD setup;
    int hop;
    double *out;
    qm_stft_work w;
    double *gain;       /* rows x QM_FRAME_BLOCK */
} wiener_channel;

static void *wiener_run(void *arg)
{
    wiener_channel *c = arg;
    qm_spectrum_src src = { .kind = QM_SRC_GAINED, .cols = c->cols, .re = c->re, .im = c->im,
                            .gain = c->gain };
    for (size_t t0 = 0; t0 < c->cols; t0 += QM_FRAME_BLOCK) {
        const size_t nb = c->cols - t0 < QM_FRAME_BLOCK ? c->cols - t0 : QM_FRAME_BLOCK;
        wiener_gains(c->mask, c->model, c->rows, c->cols, t0, nb, c->gain);
        qm_istft_block(c->setup, &c->w, &src, t0, nb, c->hop, c->out);
    }
    return NULL;
}

static int wiener_take(wiener_channel *c, int N)
{
    if (qm_stft_work_init(&c->w, N) != 0)
        return -1;
    c->gain = malloc(c->rows * QM_FRAME_BLOCK * sizeof(double));
    if (!c->gain) {
        qm_stft_work_free(&c->w);
        return -1;
    }
    return 0;
}

static void wiener_give(wiener_channel *c)
{
    qm_stft_work_free(&c->w);
    free(c->gain);
    c->gain = NULL;
}

int qm_wienerResynth2(const double *mask, const double *model, const double *reL,
                      const double *imL, const double *reR, const double *imR,
                      int rows, int cols, FFTSetupD setup, int N, int hop,
                      double *outL, double *outR)
{
    if (qm_stft_check(setup, N, hop) != 0 || rows != N / 2 + 1)
        return -1;
    if (cols <= 0)
        return 0;
    wiener_channel ch[2] = {
        { .mask = mask, .model = model, .re = reL, .im = imL, .rows = (size_t)rows,
          .cols = (size_t)cols, .setup = setup, .hop = hop, .out = outL },
        { .mask = mask, .model = model, .re = reR, .im = imR, .rows = (size_t)rows,
          .cols = (size_t)cols, .setup = setup, .hop = hop, .out = outR },
    };
    const int count = outR ? 2 : 1;
    for (int c = 0; c < count; c++)
        if (wiener_take(&ch[c], N) != 0) {
            while (c-- > 0)
                wiener_give(&ch[c]);
            return -1;
        }
    pthread_t helper;
    const bool threaded = count == 2 && pthread_create(&helper, NULL, wiener_run, &ch[1]) == 0;
    wiener_run(&ch[0]);
    if (threaded)
        pthread_join(helper, NULL);
    else if (count == 2)
        wiener_run(&ch[1]);
    for (int c = 0; c < count; c++)
        wiener_give(&ch[c]);
    return 0;
}

int qm_wienerResynth(const double *mask, const double *model, const double *re,
                     const double *im, int rows, int cols, FFTSetupD setup,
                     int N, int hop, double *out)
{
    return qm_wienerResynth2(mask, model, re, im, NULL, NULL, rows, cols, setup, N, hop,
                             out, NULL);
}
