/* Shared by the STFT and the resynthesis routines: the square-root window,
 * the per-call scratch and the overlap-add over blocks of frames. */
#ifndef QM_STFT_INTERNAL_H
#define QM_STFT_INTERNAL_H

#include <Accelerate/Accelerate.h>

#include "qm_audio.h"
#include <stddef.h>

/* Where the columns of the spectrum to resynthesise come from, rows x cols. */
typedef enum { QM_SRC_PLAIN, QM_SRC_GAINED, QM_SRC_NOISE } qm_src_kind;

typedef struct qm_spectrum_src {
    qm_src_kind kind;
    size_t cols;
    const double *re, *im; /* PLAIN, GAINED */
    const double *gain;    /* GAINED: X * gain, the gains of the block's
                            * rows QM_FRAME_BLOCK values apart */
    const double *mag;     /* NOISE: mag * (u1 + i u2) */
    const double *u1, *u2;
} qm_spectrum_src;

/* Frames [f0, f1) keep their contributions to the samples before s1 aside,
 * in side (N values per frame, frame f0 first) instead of adding them: a
 * thread that starts at frame f0 leaves the samples it shares with the frames
 * before f0 to be summed, in frame order, once those have been added. */
typedef struct qm_seam {
    size_t f0, f1, s1;
    double *side;
} qm_seam;

/* 0 when N is a power of two >= 2 and hop >= 0, -1 otherwise */
int qm_stft_check(FFTSetupD setup, int N, int hop);
/* out += windowed overlap-add of the inverse DFT of columns t0 .. t0+nb-1,
 * nb <= QM_FRAME_BLOCK; seam (or NULL) as above */
void qm_istft_block(FFTSetupD setup, const qm_stft_work *w, const qm_spectrum_src *src, size_t t0,
                    size_t nb, int hop, double *out, const qm_seam *seam);
/* where a call's frames are cut between two threads: a whole number of
 * blocks from the start, near the middle; cols when there is no cut */
size_t qm_frame_cut(size_t cols);
/* out += the contributions seam kept aside, frame by frame in order */
void qm_seam_add(const qm_seam *seam, size_t N, int hop, double *out);
/* out += windowed overlap-add of the inverse DFT of numFrames columns */
void qm_istft_run(FFTSetupD setup, const qm_stft_work *w, const qm_spectrum_src *src, int numFrames,
                  int hop, double *out);

#endif
