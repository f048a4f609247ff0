/* Resynthesis through a soft mask: out += ISTFT(X * mask / (model + 0.1)).
 * The gains are formed block of columns by block of columns, so no
 * spectrogram-sized scratch is needed, and one block of gains serves both
 * channels. Two threads share the frames: the second starts halfway and
 * keeps its share of the samples around the cut aside until the first is
 * done, so that every sample is summed in frame order as on one thread. */
#include "qm_audio.h"
#include "stft_internal.h"

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
            g[j] = m[j] / (mo[j] + QM_WIENER_FLOOR);
    }
}

/* Frames kept aside by the part after a cut: those that start before the
 * last frame of the part before it ends. More than this and the cut is not
 * worth its scratch (hops under N/64). */
enum { WIENER_MAX_SEAM = 64 };

/* the frames [t0, t1) of up to two channels, with all scratch taken beforehand */
typedef struct wiener_part {
    const double *mask, *model;
    const double *re[2], *im[2];
    double *out[2];
    int channels;
    size_t rows, cols, t0, t1;
    FFTSetupD setup;
    int hop;
    qm_stft_work w;
    double *gain;    /* rows x QM_FRAME_BLOCK */
    qm_seam seam[2]; /* per channel; side NULL when the part starts at 0 */
} wiener_part;

static void *wiener_run(void *arg)
{
    wiener_part *p = arg;
    for (size_t t0 = p->t0; t0 < p->t1; t0 += QM_FRAME_BLOCK) {
        const size_t nb = p->t1 - t0 < QM_FRAME_BLOCK ? p->t1 - t0 : QM_FRAME_BLOCK;
        wiener_gains(p->mask, p->model, p->rows, p->cols, t0, nb, p->gain);
        for (int c = 0; c < p->channels; c++) {
            qm_spectrum_src src = {.kind = QM_SRC_GAINED,
                                   .cols = p->cols,
                                   .re = p->re[c],
                                   .im = p->im[c],
                                   .gain = p->gain};
            qm_istft_block(p->setup, &p->w, &src, t0, nb, p->hop, p->out[c],
                           p->seam[c].side ? &p->seam[c] : NULL);
        }
    }
    return NULL;
}

static void wiener_give(wiener_part *p)
{
    qm_stft_work_free(&p->w);
    free(p->gain);
    for (int c = 0; c < 2; c++)
        free(p->seam[c].side);
}

/* the part's scratch; -1 (nothing held) when memory is short */
static int wiener_take(wiener_part *p, int N, size_t seamFrames)
{
    p->gain = NULL;
    p->seam[0].side = p->seam[1].side = NULL;
    if (qm_stft_work_init(&p->w, N) != 0)
        return -1;
    p->gain = malloc(p->rows * QM_FRAME_BLOCK * sizeof(double));
    bool ok = p->gain != NULL;
    for (int c = 0; c < p->channels && ok && seamFrames > 0; c++) {
        p->seam[c].side = malloc(seamFrames * (size_t)N * sizeof(double));
        ok = p->seam[c].side != NULL;
    }
    if (!ok) {
        wiener_give(p);
        return -1;
    }
    return 0;
}

int qm_wienerResynth2(const double *mask, const double *model, const double *reL, const double *imL,
                      const double *reR, const double *imR, int rows, int cols, FFTSetupD setup,
                      int N, int hop, double *outL, double *outR)
{
    if (qm_stft_check(setup, N, hop) != 0 || rows != N / 2 + 1)
        return -1;
    if (cols <= 0)
        return 0;
    const size_t nCols = (size_t)cols, n = (size_t)N, h = (size_t)hop;
    size_t cut = qm_frame_cut(nCols);
    /* frames from the cut on that reach back before the end of frame cut-1 */
    size_t seamFrames = h > 0 ? (n + h - 1) / h - 1 : 0;
    if (h == 0 || seamFrames > WIENER_MAX_SEAM)
        cut = nCols;
    if (cut < nCols && seamFrames > nCols - cut)
        seamFrames = nCols - cut;
    const int parts = cut < nCols ? 2 : 1;

    wiener_part part[2];
    for (int i = 0; i < 2; i++)
        part[i] = (wiener_part){.mask = mask,
                                .model = model,
                                .re = {reL, reR},
                                .im = {imL, imR},
                                .out = {outL, outR},
                                .channels = outR ? 2 : 1,
                                .rows = (size_t)rows,
                                .cols = nCols,
                                .t0 = i == 0 ? 0 : cut,
                                .t1 = i == 0 ? cut : nCols,
                                .setup = setup,
                                .hop = hop};
    for (int i = 0; i < parts; i++)
        if (wiener_take(&part[i], N, i == 1 ? seamFrames : 0) != 0) {
            while (i-- > 0)
                wiener_give(&part[i]);
            return -1;
        }
    if (parts == 2)
        for (int c = 0; c < part[1].channels; c++) {
            part[1].seam[c].f0 = cut;
            part[1].seam[c].f1 = cut + seamFrames;
            part[1].seam[c].s1 = (cut - 1) * h + n;
        }

    qm_run_pair(wiener_run, &part[0], parts == 2 ? &part[1] : NULL);
    if (parts == 2)
        for (int c = 0; c < part[1].channels; c++)
            qm_seam_add(&part[1].seam[c], n, hop, part[1].out[c]);
    for (int i = 0; i < parts; i++)
        wiener_give(&part[i]);
    return 0;
}

int qm_wienerResynth(const double *mask, const double *model, const double *re, const double *im,
                     int rows, int cols, FFTSetupD setup, int N, int hop, double *out)
{
    return qm_wienerResynth2(mask, model, re, im, NULL, NULL, rows, cols, setup, N, hop, out, NULL);
}
