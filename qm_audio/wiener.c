/* Resynthesis through a soft mask: out += ISTFT(X * mask / (model + 0.1)).
 * The gains are formed block of columns by block of columns, once for every
 * channel that shares the mask, so no spectrogram-sized scratch is needed. */
#include "qm_audio.h"
#include "stft_internal.h"

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

int qm_wienerResynth2(const double *mask, const double *model, const double *reL,
                      const double *imL, const double *reR, const double *imR,
                      int rows, int cols, FFTSetupD setup, int N, int hop,
                      double *outL, double *outR)
{
    if (qm_stft_check(setup, N, hop) != 0 || rows != N / 2 + 1)
        return -1;
    if (cols <= 0)
        return 0;
    qm_stft_work w;
    if (qm_stft_work_init(&w, N) != 0)
        return -1;
    double *gain = malloc((size_t)rows * QM_FRAME_BLOCK * sizeof(double));
    if (!gain) {
        qm_stft_work_free(&w);
        return -1;
    }
    qm_spectrum_src left = { .kind = QM_SRC_GAINED, .cols = (size_t)cols, .re = reL,
                             .im = imL, .gain = gain };
    qm_spectrum_src right = left;
    right.re = reR;
    right.im = imR;
    const size_t n = (size_t)cols;
    for (size_t t0 = 0; t0 < n; t0 += QM_FRAME_BLOCK) {
        const size_t nb = n - t0 < QM_FRAME_BLOCK ? n - t0 : QM_FRAME_BLOCK;
        wiener_gains(mask, model, (size_t)rows, n, t0, nb, gain);
        qm_istft_block(setup, &w, &left, t0, nb, hop, outL);
        if (outR)
            qm_istft_block(setup, &w, &right, t0, nb, hop, outR);
    }
    free(gain);
    qm_stft_work_free(&w);
    return 0;
}

int qm_wienerResynth(const double *mask, const double *model, const double *re,
                     const double *im, int rows, int cols, FFTSetupD setup,
                     int N, int hop, double *out)
{
    return qm_wienerResynth2(mask, model, re, im, NULL, NULL, rows, cols, setup, N, hop,
                             out, NULL);
}
