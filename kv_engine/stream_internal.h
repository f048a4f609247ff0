/* Shared by the streaming analysis and resynthesis: the input held for one
 * block of frames, the block's packed spectra, and the two-thread split. */
#ifndef KV_STREAM_INTERNAL_H
#define KV_STREAM_INTERNAL_H

#include "kv_stream.h"
#include "stft_internal.h"

#include <float.h>
#include <stdbool.h>

/* frames handled together; the qm scratch holds this many packed frames */
enum { KVS_BLOCK = QM_FRAME_BLOCK };

/* the least overlap sum of the squared window that a hop may leave, against
 * a peak of 1: below it rounding and mask errors are magnified past use */
#define KVS_MIN_COVER 0.01

typedef struct kvs_frames {
    const kvs_shape *s;
    int ch;        /* channels read */
    bool mix;      /* pack the channels' sum into sgram[0] (the summed analysis) */
    double *in[2]; /* samples in_start .. in_start + in_have - 1 of each channel */
    long in_start, in_have, in_len;
    qm_stft_work sgram[2]; /* per channel: the window and the block's packed spectra */
    FFTSetupD setup[2];    /* one per thread, so the stand-in's buffer is never contended */
    int threads;
    long t0; /* the block: frames t0 .. t0 + nb - 1 */
    size_t nb;
} kvs_frames;

/* the least overlap sum of the squared window g2 at this hop, over one period */
double kvs_min_cover(const double *g2, int N, int hop);
int kvs_frames_init(kvs_frames *f, const kvs_shape *s, bool mix, int threads);
void kvs_frames_free(kvs_frames *f);
/* makes the samples of frames t0 .. t0 + nb - 1 present, reading what is new */
int kvs_frames_read(kvs_frames *f, kvs_source src, long t0, size_t nb);
/* windows, packs and transforms frames j0 .. j1 - 1 of the block in place,
 * with the FFT setup of thread `part` */
void kvs_frames_forward(const kvs_frames *f, size_t j0, size_t j1, int part);
/* a packed frame of the block: real half, imaginary half at + io */
double *kvs_frame(const kvs_frames *f, int c, size_t j);
/* the FFT setup of thread `part` */
FFTSetupD kvs_setup(const kvs_frames *f, int part);
/* run(a) and run(b) (unless NULL) on two threads when threads == 2, else in turn */
void kvs_run_two(void *(*run)(void *), void *a, void *b, int threads);

/* the floor against 0 / 0: the masks of all K components still sum to 1 */
#define KVS_FLOOR DBL_MIN

typedef struct kvs_pass {
    kvs_frames f;
    const double *H;
    int K;
    double *Wt; /* W by columns, K x rows */
    const kvs_output *outs;
    int units;   /* outputs x channels, output-major */
    double *inv; /* KVS_BLOCK x rows: 1 / (w.h + K e) of the block's frames */
    double *acc; /* units x acc_len: overlap-add from the block's first sample */
    long acc_len;
    double *gs;      /* g / (2 N x overlap sum of g^2): the synthesis window */
    double *work[2]; /* per thread: a masked frame, then a group's mask of bins values */
} kvs_pass;

typedef struct kvs_part {
    kvs_pass *p;
    int part;
    size_t j0, j1;      /* frames of the block (spectra) */
    int c0, c1, o0, o1; /* channels and outputs (inverses) */
} kvs_part;

/* frames j0 .. j1 - 1 of the block: spectra and 1 / (w.h + K e) */
void *kvs_spectra_part(void *part);
/* outputs o0 .. o1 - 1 on channels c0 .. c1 - 1 over the block's frames:
 * masks, inverses, overlap-add */
void *kvs_inverse_part(void *part);

#endif
