/* Level-true analysis and resynthesis of a sound of any length, pulled block
 * by block from a source: the framing (with padding, so that the first and
 * last samples are covered like any other), the magnitude spectrogram written
 * straight into the caller's V, and every chosen component or group
 * resynthesised through ratio masks in one pass, its samples handed to a sink
 * in order. No complex spectrogram is kept: beyond V, W and H the memory is a
 * block of frames per channel and a block of samples per output and channel.
 * Matrices are row-major: row r of frame t of V is V[r * frames + t].
 * Nothing is printed; every function returns a KVS_ code. */
#ifndef KV_STREAM_H
#define KV_STREAM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    KVS_OK = 0,
    KVS_ERR_ARG = -1,       /* null pointer, bad count, component index out of range,
                             * W or H negative or not finite */
    KVS_ERR_WINDOW = -2,    /* window under 2 samples, or FFT size over 2^30 */
    KVS_ERR_HOP_SHORT = -3, /* hop under one sample */
    KVS_ERR_HOP_LONG = -4,  /* hop leaves samples too thinly covered to resynthesise */
    KVS_ERR_SHORT = -5,     /* sound shorter than the window */
    KVS_ERR_SIZE = -6,      /* counts beyond what the sizes can hold */
    KVS_ERR_MEMORY = -7,
    KVS_ERR_SOURCE = -8,     /* the source callback returned nonzero */
    KVS_ERR_SINK = -9,       /* the sink callback returned nonzero */
    KVS_ERR_NOT_FINITE = -10 /* the source gave a sample that is not finite */
};

/* How stereo is analysed: the magnitude of the channels' sum (rows = bins),
 * or both channels' magnitudes stacked, left bins then right bins
 * (rows = 2 x bins), sharing the activations. A mono sound has one row per bin
 * either way. */
typedef enum { KVS_SUM = 0, KVS_STACK = 1 } kvs_rows;

typedef struct kvs_shape {
    long length;  /* samples per channel, L >= 1 */
    int channels; /* 1 or 2 */
    int stacked;  /* 1 when rows = 2 x bins */
    int window;   /* window samples: round(seconds x rate) */
    int N;        /* FFT size: the window rounded up to a power of two */
    int hop;      /* round(N x hop fraction), the product in single precision */
    int bins;     /* N / 2 + 1 */
    int rows;     /* rows of V and W */
    long lead;    /* frame t covers samples [t hop - lead, t hop - lead + N) */
    long frames;  /* every frame that overlaps the sound */
    /* the numbers to change to, for a refusal */
    double shortest_sound; /* seconds: the shortest sound this window accepts (KVS_ERR_SHORT) */
    double longest_window; /* seconds: the longest window this sound accepts (KVS_ERR_SHORT) */
    double longest_hop;    /* fraction of the FFT size: the longest hop it accepts
                            * (KVS_ERR_HOP_LONG) */
} kvs_shape;

/* Fills s from the window in seconds, the hop as a fraction of the FFT size,
 * the sample rate, the length in samples per channel and the channel count
 * (1 or 2: the caller mixes more down to two). The frames start lead =
 * floor((N - 1) / hop) x hop samples before the sound, and run on until the
 * last one that still overlaps it: the same as padding by an FFT size at both
 * ends and dropping the frames that see only the padding. Every sample then
 * lies under the same set of window positions as a sample far inside.
 * Returns KVS_OK or a refusal (KVS_ERR_WINDOW, _HOP_SHORT, _HOP_LONG, _SHORT,
 * _SIZE, _ARG). A hop is too long when some sample's overlap sum of the
 * squared window falls below 1% of the window's peak. */
int kvs_shape_make(double seconds, float hop_fraction, double rate, long length, int channels,
                   kvs_rows mode, kvs_shape *s);

/* Source: fills ch[c][0 .. count) with samples start .. start + count - 1 of
 * channel c, for c < channels; asked only within [0, length), in increasing
 * order, each sample once per pass (start + count over length is the pass's
 * progress). Nonzero stops the work (KVS_ERR_SOURCE); the caller keeps any
 * detail in user. */
typedef int (*kvs_read_fn)(void *user, long start, long count, double *const *ch);
typedef struct kvs_source {
    kvs_read_fn read;
    void *user;
} kvs_source;

/* Sink: samples start .. start + count - 1 of output `output`, one array per
 * channel (as many as the sound's). Each output's samples come in order and
 * once, covering [0, length). Nonzero stops the work (KVS_ERR_SINK). */
typedef int (*kvs_write_fn)(void *user, int output, long start, long count,
                            const double *const *ch);
typedef struct kvs_sink {
    kvs_write_fn write;
    void *user;
} kvs_sink;

/* One output: the components (indices from 0, no repeats) whose masks are
 * summed; one index for a component, several for a group. */
typedef struct kvs_output {
    const int *comps;
    int count;
} kvs_output;

/* threads: 1, or 2 to share each block's frames and outputs between two
 * threads (0 means 2); the results do not depend on it. */

/* V (rows x frames) = magnitude of the square-root Blackman windowed DFT of
 * each frame, scaled as qm_STFT's. */
int kvs_analyse(const kvs_shape *s, kvs_source src, double *V, int threads);
/* The same, V stored as floats (each magnitude rounded once). */
int kvs_analyse_float(const kvs_shape *s, kvs_source src, float *V, int threads);

/* Every output through the mask sum_{k in set} (w_k h_k + e) /
 * (sum_j w_j h_j + K e), e = DBL_MIN, in one pass: each frame's spectrum is
 * formed once per channel, then each output's is masked, inverted, windowed
 * and overlap-added, normalised by the overlap sum of the squared window. The
 * outputs of all K components sum to the sound. With stacked rows each
 * channel is masked by its own rows of W. W is rows x K, H is K x frames. */
int kvs_resynth(const kvs_shape *s, kvs_source src, const double *W, const double *H, int K,
                const kvs_output *outs, int n_outs, kvs_sink sink, int threads);

/* Bytes a run holds at its peak: V (v_cell bytes a value: 8 for doubles, 4
 * for floats), W, H and the larger of the two passes' scratch (the
 * factorisation's own work space is not counted). SIZE_MAX when it
 * overflows. */
size_t kvs_memory(const kvs_shape *s, int K, int n_outs, size_t v_cell);

#ifdef __cplusplus
}
#endif

#endif
