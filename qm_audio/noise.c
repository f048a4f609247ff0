/* Noise with a given spectral envelope: out += ISTFT(mag * (u1 + i u2)). */
#include "qm_audio.h"
#include "stft_internal.h"

#include <stdlib.h>

void qm_noiseResynth(const double *mag, int rows, int cols, FFTSetupD setup, int N, int hop,
                     double *out)
{
    if (qm_stft_check(setup, N, hop) != 0 || rows != N / 2 + 1 || cols <= 0)
        return;
    const size_t cells = (size_t)rows * (size_t)cols;
    /* every piece of scratch is taken before the first draw, so a failure
     * leaves the process-wide sequence where it was */
    qm_stft_work w;
    if (qm_stft_work_init(&w, N) != 0)
        return;
    double *u1 = malloc(cells * sizeof(double));
    double *u2 = malloc(cells * sizeof(double));
    if (!u1 || !u2) {
        free(u1);
        free(u2);
        qm_stft_work_free(&w);
        return;
    }
    /* all of u1, then all of u2, each in storage order */
    for (size_t i = 0; i < cells; i++)
        u1[i] = rand() / QM_RAND_SCALE;
    for (size_t i = 0; i < cells; i++)
        u2[i] = rand() / QM_RAND_SCALE;
    qm_spectrum_src src = {
        .kind = QM_SRC_NOISE, .cols = (size_t)cols, .mag = mag, .u1 = u1, .u2 = u2};
    qm_istft_run(setup, &w, &src, cols, hop, out);
    free(u1);
    free(u2);
    qm_stft_work_free(&w);
}
