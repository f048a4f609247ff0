/* Framing of a sound of any length: FFT size and hop as the object derives
 * them, the lead that pads the edges, refusals with the numbers to change to,
 * and the memory a run holds. */
#include "stream_internal.h"

#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>

enum { KVS_MAX_LOG2 = 30 };

double kvs_min_cover(const double *g2, int N, int hop)
{
    double least = INFINITY;
    for (int r = 0; r < hop && r < N; r++) {
        double d = 0.0;
        for (int i = r; i < N; i += hop) d += g2[i];
        least = d < least ? d : least;
    }
    return hop > N ? 0.0 : least;
}

/* the square of the analysis window: Blackman, clipped at 0 as its root is */
static double *kvs_window_squared(int N)
{
    double *g2 = malloc((size_t)N * sizeof(double));
    if (!g2) return NULL;
    vDSP_blkman_windowD(g2, (vDSP_Length)N, 0);
    for (int i = 0; i < N; i++) g2[i] = g2[i] > 0.0 ? g2[i] : 0.0;
    return g2;
}

/* whether a hop covers every sample well enough; the longest such hop,
 * found by halving (the cover shrinks as the hop grows), in *longest when it
 * does not; -1 when memory is short */
static int kvs_hop_covers(int N, int hop, int *longest)
{
    double *g = kvs_window_squared(N);
    if (!g) return -1;
    const int ok = kvs_min_cover(g, N, hop) >= KVS_MIN_COVER;
    int lo = 1, hi = hop; /* lo covers, hi does not */
    while (!ok && hi - lo > 1) {
        const int mid = lo + (hi - lo) / 2;
        if (kvs_min_cover(g, N, mid) >= KVS_MIN_COVER)
            lo = mid;
        else
            hi = mid;
    }
    *longest = ok ? hop : lo;
    free(g);
    return ok;
}

/* FFT size and hop, in the object's arithmetic; 0 when out of range */
static void kvs_sizes(double n, float hop_fraction, double *fft, double *hop)
{
    *fft = 0.0;
    *hop = 0.0;
    if (!(n >= 2.0) || !isfinite(n)) return;
    *fft = pow(2.0, ceil(log2(n)));
    if (*fft > (double)(1L << KVS_MAX_LOG2)) return;
    *hop = round((double)((float)*fft * hop_fraction)); /* single precision, as set */
    if (!isfinite(*hop)) *hop = 0.0;
}

static int kvs_frame_count(kvs_shape *s)
{
    s->bins = s->N / 2 + 1;
    s->rows = s->stacked ? 2 * s->bins : s->bins;
    s->lead = (long)((s->N - 1) / s->hop) * s->hop;
    if (s->length > LONG_MAX - s->lead) return KVS_ERR_SIZE;
    s->frames = (s->length - 1 + s->lead) / s->hop + 1;
    if ((size_t)s->frames > SIZE_MAX / sizeof(double) / (size_t)s->rows) return KVS_ERR_SIZE;
    return KVS_OK;
}

int kvs_shape_make(double seconds, float hop_fraction, double rate, long length, int channels,
                   kvs_rows mode, kvs_shape *s)
{
    if (!s) return KVS_ERR_ARG;
    *s = (kvs_shape){.length = length, .channels = channels};
    if (length < 1 || (channels != 1 && channels != 2) || !(rate > 0.0) || !isfinite(rate))
        return KVS_ERR_ARG;
    s->stacked = mode == KVS_STACK && channels == 2;
    const double n = round(seconds * rate);
    s->shortest_sound = n / rate;
    s->longest_window = (double)length / rate;
    double fft, hop;
    kvs_sizes(n, hop_fraction, &fft, &hop);
    if (!(n >= 2.0) || !isfinite(n)) return KVS_ERR_WINDOW;
    if (n > (double)length) return KVS_ERR_SHORT;
    if (fft < 2.0 || fft > (double)(1L << KVS_MAX_LOG2)) return KVS_ERR_WINDOW;
    s->window = (int)n;
    s->N = (int)fft;
    if (!(hop >= 1.0)) return KVS_ERR_HOP_SHORT;
    int longest = 0;
    const int covers = kvs_hop_covers(s->N, hop > (double)s->N ? s->N : (int)hop, &longest);
    if (covers < 0) return KVS_ERR_MEMORY;
    s->longest_hop = (double)longest / (double)s->N;
    if (!covers || hop > (double)s->N) return KVS_ERR_HOP_LONG;
    s->hop = (int)hop;
    return kvs_frame_count(s);
}

/* a + b x c, or SIZE_MAX when it overflows */
static size_t kvs_madd(size_t a, size_t b, size_t c)
{
    if (a == SIZE_MAX || (c && b > (SIZE_MAX - a) / c)) return SIZE_MAX;
    return a + b * c;
}

/* what both passes hold: input, packed spectra, window, FFT setups */
static size_t kvs_frames_bytes(const kvs_shape *s)
{
    const size_t N = (size_t)s->N, ch = (size_t)s->channels, d = sizeof(double);
    size_t b = 0;
    b = kvs_madd(b, ch * d, (size_t)(KVS_BLOCK - 1) * (size_t)s->hop + N);
    b = kvs_madd(b, ch * d, N + (size_t)KVS_BLOCK * (N + 24));
    return kvs_madd(b, 2 * d, 4 * N); /* two setups' buffers and plans, about */
}

static size_t kvs_resynth_bytes(const kvs_shape *s, int K, int n_outs)
{
    const size_t d = sizeof(double), rows = (size_t)s->rows, N = (size_t)s->N;
    size_t b = kvs_frames_bytes(s);
    b = kvs_madd(b, rows * d, (size_t)K);                     /* W by columns */
    b = kvs_madd(b, rows * d, KVS_BLOCK);                     /* the block's 1 / model */
    b = kvs_madd(b, (size_t)n_outs * (size_t)s->channels * d, /* overlap-add */
                 (size_t)(KVS_BLOCK - 1) * (size_t)s->hop + N);
    b = kvs_madd(b, 2 * d, N + 24 + rows); /* per thread */
    return kvs_madd(b, d, N);              /* synthesis window */
}

size_t kvs_memory(const kvs_shape *s, int K, int n_outs, size_t v_cell)
{
    if (!s || s->N < 2 || K < 1 || n_outs < 0 || v_cell < 1) return SIZE_MAX;
    const size_t d = sizeof(double), frames = (size_t)s->frames, rows = (size_t)s->rows;
    size_t b = kvs_madd(0, rows * v_cell, frames);
    b = kvs_madd(b, rows * d, (size_t)K);
    b = kvs_madd(b, (size_t)K * d, frames);
    const size_t a = kvs_frames_bytes(s), r = kvs_resynth_bytes(s, K, n_outs);
    return kvs_madd(b, a > r ? a : r, 1);
}
