/* Shared by the streaming analysis and resynthesis: the input held for one
 * block of frames, the block's packed spectra, and the two-thread split. */
#ifndef KV_STREAM_INTERNAL_H
#define KV_STREAM_INTERNAL_H

#include "kv_stream.h"
#include "qm_audio.h"

#include <float.h>
#include <stdbool.h>

/* frames handled together; the qm scratch holds this many packed frames */
enum { KVE_BLOCK = QM_FRAME_BLOCK };

/* the least overlap sum of the squared window that a hop may leave, against
 * a peak of 1: below it rounding and mask errors are magnified past use */
#define KVE_MIN_COVER 0.01

typedef struct kve_frames {
    const kve_streamShape *s;
    int ch;                        /* channels read */
    bool mix;                      /* pack the channels' sum into sgram[0] (the summed analysis) */
    double *in[KVE_MOST_CHANNELS]; /* samples inStart .. inStart + inHave - 1 of each channel */
    long inStart, inHave, inLen;
    qm_stft_work
        sgram[KVE_MOST_CHANNELS]; /* per channel: the window and the block's packed spectra */
    FFTSetupD setup[2];           /* one per thread, so the stand-in's buffer is never contended */
    int threads;
    double most; /* the largest |sample| taken (KVE_NOT_FINITE beyond) */
    long t0;     /* the block: frames t0 .. t0 + nb - 1 */
    size_t nb;
} kve_frames;

/* the largest |sample| whose spectra stay within float's range: twice the
 * DFT of N samples at most N x that */
#define KVE_MOST_FOR_FLOAT(N) (FLT_MAX / (2.0 * (double)(N)))

/* the least overlap sum of the squared window g2 at this hop, over one period */
double kve_minCover(const double *g2, int N, int hop);
int kve_framesInit(kve_frames *f, const kve_streamShape *s, bool mix, int threads);
void kve_framesFree(kve_frames *f);
/* makes the samples of frames t0 .. t0 + nb - 1 present, reading what is new */
int kve_framesRead(kve_frames *f, kve_source src, long t0, size_t nb);
/* windows, packs and transforms frames j0 .. j1 - 1 of the block in place,
 * with the FFT setup of thread `part` */
void kve_framesForward(const kve_frames *f, size_t j0, size_t j1, int part);
/* a packed frame of the block: real half, imaginary half at + io */
double *kve_frameAt(const kve_frames *f, int c, size_t j);
/* the FFT setup of thread `part` */
FFTSetupD kve_setupOf(const kve_frames *f, int part);
/* run(a) and run(b) (unless NULL) on two threads when threads == 2, else in turn */
void kve_runTwo(void *(*run)(void *), void *a, void *b, int threads);

/* the floor against 0 / 0: the masks of all K components still sum to 1 */
#define KVE_FLOOR DBL_MIN

/* the same in single precision: the mask's floor stays a normal float */
#define KVE_FLOOR_SINGLE FLT_MIN

/* a pass's own buffers in one precision */
typedef struct kve_passDouble {
    double *Wt;      /* W by columns, K x rows */
    double *inv;     /* KVE_BLOCK x rows: 1 / (w.h + K e) of the block's frames */
    double *acc;     /* units x accLen: overlap-add from the block's first sample */
    double *gs;      /* g / (2 N x overlap sum of g^2): the synthesis window */
    double *work[2]; /* per thread: a masked frame, then a group's mask of bins values */
} kve_passDouble;

typedef struct kve_passSingle {
    float *Wt, *inv, *acc, *gs, *work[2]; /* as kve_passDouble's */
    float *x;                             /* channels x KVE_BLOCK frames: the block's spectra */
    float *g;                             /* the analysis window */
    FFTSetup setup[2];
} kve_passSingle;

typedef struct kve_pass {
    kve_frames f;
    const double *H;
    int K;
    const kve_output *outs;
    int units; /* outputs x channels, output-major */
    long accLen;
    bool single;  /* masks, inverses and overlap-add in sgl, else in dbl */
    bool spatial; /* the spatial filter (two stacked channels), else the masks */
    /* the spatial filter, in double in either precision (its 2 x 2 products
     * cancel, and the outputs must still sum to the sound): */
    float *spC;     /* per component, bins values each of w_L^2 / |w|, w_L w_R / |w|
                     * and w_R^2 / |w|, stored in float (both sides of the sum read
                     * the same values) */
    double *spInv;  /* KVE_BLOCK x 3 bins: A^-1's LL, LR, RR per frame */
    double *spM[2]; /* per thread: a group's sum of the terms, 3 bins */
    kve_passDouble dbl;
    kve_passSingle sgl;
} kve_pass;

typedef struct kve_part {
    kve_pass *p;
    int part;
    size_t j0, j1;      /* frames of the block (spectra) */
    int c0, c1, o0, o1; /* channels and outputs (inverses) */
} kve_part;

/* frames j0 .. j1 - 1 of the block: spectra and 1 / (w.h + K e) */
void *kve_spectraPart(void *part);
/* outputs o0 .. o1 - 1 on channels c0 .. c1 - 1 over the block's frames:
 * masks, inverses, overlap-add */
void *kve_inversePart(void *part);

#endif
