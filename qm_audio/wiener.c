/* Resynthesis through a soft mask: out += ISTFT(X * mask / (model + 0.1)).
 * The gain and the filtered spectrum are formed column block by column block
 * inside the inverse transform, so no spectrogram-sized scratch is needed. */
#include "qm_audio.h"
#include "stft_internal.h"

int qm_wienerResynth(const double *mask, const double *model, const double *re,
                     const double *im, int rows, int cols, FFTSetupD setup,
                     int N, int hop, double *out)
{
    if (qm_stft_check(setup, N, hop) != 0 || rows != N / 2 + 1)
        return -1;
    if (cols <= 0)
        return 0;
    qm_stft_work w;
    if (qm_stft_work_init(&w, N) != 0)
        return -1;
    qm_spectrum_src src = { .kind = QM_SRC_WIENER, .cols = (size_t)cols, .re = re, .im = im,
                            .mask = mask, .model = model };
    qm_istft_run(setup, &w, &src, cols, hop, out);
    qm_stft_work_free(&w);
    return 0;
}
