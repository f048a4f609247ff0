/* Framing of a sound of any length: the window as long as asked, zero-padded
 * to the FFT size, the hop a share of the window, the lead that pads the
 * edges, refusals with the numbers to change to, and the memory a run holds.
 * (The object keeps its own arithmetic: shape.c.) */
#include "kv_engine_private.h"
#include "model_internal.h"
#include "stream_internal.h"

#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>

double kve_minCover(const double *g2, int N, int hop)
{
    double least = INFINITY;
    for (int r = 0; r < hop && r < N; r++) {
        double d = 0.0;
        for (int i = r; i < N; i += hop) d += g2[i];
        least = d < least ? d : least;
    }
    return hop > N ? 0.0 : least;
}

/* the square of the analysis window: Blackman of `window` samples, clipped
 * at 0 as its root is, zeros on to N */
static double *kve_windowSquared(int window, int N)
{
    double *g2 = calloc((size_t)N, sizeof(double));
    if (!g2) return NULL;
    vDSP_blkman_windowD(g2, (vDSP_Length)window, 0);
    for (int i = 0; i < window; i++) g2[i] = g2[i] > 0.0 ? g2[i] : 0.0;
    return g2;
}

/* whether a hop covers every sample well enough; the longest such hop,
 * found by halving (the cover shrinks as the hop grows), in *longest when it
 * does not; -1 when memory is short */
static int kve_hopCovers(int window, int N, int hop, int *longest)
{
    double *g = kve_windowSquared(window, N);
    if (!g) return -1;
    const int ok = kve_minCover(g, N, hop) >= KVE_MIN_COVER;
    int lo = 1, hi = hop; /* lo covers, hi does not */
    while (!ok && hi - lo > 1) {
        const int mid = lo + (hi - lo) / 2;
        if (kve_minCover(g, N, mid) >= KVE_MIN_COVER)
            lo = mid;
        else
            hi = mid;
    }
    *longest = ok ? hop : lo;
    free(g);
    return ok;
}

static int kve_frameCount(kve_streamShape *s)
{
    s->bins = s->N / 2 + 1;
    s->rows = s->stacked ? s->channels * s->bins : s->bins;
    s->lead = (long)((s->window - 1) / s->hop) * s->hop;
    if (s->length > LONG_MAX - s->lead) return KVE_TOO_LARGE;
    s->frames = (s->length - 1 + s->lead) / s->hop + 1;
    if (s->rows > INT_MAX / 2 || (size_t)s->frames > SIZE_MAX / sizeof(double) / (size_t)s->rows)
        return KVE_TOO_LARGE;
    return KVE_OK;
}

kve_status kve_streamShapeOfSamples(long window, long fft, long hop, double rate, long length,
                                    int channels, kve_rows mode, kve_streamShape *s)
{
    if (!s) return KVE_BAD_ARGUMENT;
    *s = (kve_streamShape){.length = length, .channels = channels};
    if (length < 1 || channels < 1 || channels > KVE_MOST_CHANNELS || !(rate > 0.0) ||
        !isfinite(rate))
        return KVE_BAD_ARGUMENT;
    s->stacked = mode == KVE_STACK && channels >= 2;
    s->shortestSound = (double)window / rate;
    s->longestWindow = (double)length / rate;
    if (window < 2 || (double)window > KVE_LARGEST_FFT) return KVE_WINDOW_TOO_SHORT;
    if (window > length) return KVE_SOUND_TOO_SHORT;
    long N = 2;
    while (N < window) N *= 2;
    if (fft != 0 && (fft < window || fft > (long)KVE_LARGEST_FFT || (fft & (fft - 1)) != 0))
        return KVE_BAD_ARGUMENT;
    if (fft != 0) N = fft;
    s->window = (int)window;
    s->N = (int)N;
    if (hop < 1) return KVE_HOP_TOO_SHORT;
    int longest = 0;
    const int covers =
        kve_hopCovers(s->window, s->N, hop > window ? s->window : (int)hop, &longest);
    if (covers < 0) return KVE_NO_MEMORY;
    s->longestHop = (double)longest / (double)window;
    if (!covers || hop > window) return KVE_HOP_TOO_LONG;
    s->hop = (int)hop;
    return kve_frameCount(s);
}

kve_status kve_streamShapeFft(double seconds, float hopFraction, long fft, double rate, long length,
                              int channels, kve_rows mode, kve_streamShape *s)
{
    if (!s) return KVE_BAD_ARGUMENT;
    const double n = isfinite(seconds) && isfinite(rate) ? round(seconds * rate) : 0.0;
    if (!(n >= 2.0) || n > KVE_LARGEST_FFT) {
        const kve_status st =
            kve_streamShapeOfSamples(2, 0, 1, rate, length > 0 ? length : 1, channels, mode, s);
        s->shortestSound = n / rate;
        s->longestWindow = (double)length / rate;
        if (st == KVE_BAD_ARGUMENT || length < 1) return KVE_BAD_ARGUMENT;
        return n > (double)length ? KVE_SOUND_TOO_SHORT : KVE_WINDOW_TOO_SHORT;
    }
    /* the hop's product in single precision, as the object's setHop keeps it */
    const double hop = round((double)((float)n * hopFraction));
    /* any hop past the window is refused as too long, however far past */
    const long h = !(hop >= 1.0) ? 0 : hop > n ? (long)n + 1 : (long)hop;
    return kve_streamShapeOfSamples((long)n, fft, h, rate, length, channels, mode, s);
}

kve_status kve_streamShapeOf(double seconds, float hopFraction, double rate, long length,
                             int channels, kve_rows mode, kve_streamShape *s)
{
    return kve_streamShapeFft(seconds, hopFraction, 0, rate, length, channels, mode, s);
}

/* a + b x c, or SIZE_MAX when it overflows */
static size_t kve_madd(size_t a, size_t b, size_t c)
{
    if (a == SIZE_MAX || (c && b > (SIZE_MAX - a) / c)) return SIZE_MAX;
    return a + b * c;
}

/* what both passes hold: input, packed spectra, window, FFT setups */
static size_t kve_framesBytes(const kve_streamShape *s)
{
    const size_t N = (size_t)s->N, ch = (size_t)s->channels, d = sizeof(double);
    size_t b = 0;
    b = kve_madd(b, ch * d, (size_t)(KVE_BLOCK - 1) * (size_t)s->hop + N);
    b = kve_madd(b, ch * d, N + (size_t)KVE_BLOCK * (N + 24));
    return kve_madd(b, 2 * d, 4 * N); /* two setups' buffers and plans, about */
}

static size_t kve_resynthBytes(const kve_streamShape *s, int K, int nOuts)
{
    const size_t d = sizeof(double), rows = (size_t)s->rows, N = (size_t)s->N;
    size_t b = kve_framesBytes(s);
    b = kve_madd(b, rows * d, (size_t)K);                    /* W by columns */
    b = kve_madd(b, rows * d, KVE_BLOCK);                    /* the block's 1 / model */
    b = kve_madd(b, (size_t)nOuts * (size_t)s->channels * d, /* overlap-add */
                 (size_t)(KVE_BLOCK - 1) * (size_t)s->hop + N);
    b = kve_madd(b, 2 * d, N + 24 + rows); /* per thread */
    if (s->stacked && s->channels == 2) {  /* the spatial filter's inverses and scratch beyond */
        b = kve_madd(b, (size_t)s->bins * d, KVE_BLOCK);
        b = kve_madd(b, 2 * d, N + 4 * (size_t)s->bins);
    }
    return kve_madd(b, d, N); /* synthesis window */
}

size_t kve_streamMemory(const kve_streamShape *s, int K, int nOuts, size_t vCell)
{
    if (!s || s->N < 2 || K < 1 || nOuts < 0 || vCell < 1) return SIZE_MAX;
    const size_t d = sizeof(double), frames = (size_t)s->frames, rows = (size_t)s->rows;
    size_t b = kve_madd(0, rows * vCell, frames);
    b = kve_madd(b, rows * d, (size_t)K);
    b = kve_madd(b, (size_t)K * d, frames);
    const size_t a = kve_framesBytes(s), r = kve_resynthBytes(s, K, nOuts);
    return kve_madd(b, a > r ? a : r, 1);
}

double kve_runMemory(const kve_streamShape *s, int K, int nOuts)
{
    double bytes = (double)kve_streamMemory(s, K, nOuts, sizeof(float));
    /* the rounds' copies of W and H, the start's range and B, the costs' rows
     * (a block a thread and one more) */
    bytes +=
        8.0 * (double)(s->rows + s->frames) * (4.0 * K + 2.0 * (K + KVE_OVERSAMPLE)) +
        8.0 * KVE_COST_ROWS * (double)s->frames * (kve_teamMost() > 1 ? kve_teamMost() + 1 : 1);
    /* the start's blocks of V as doubles */
    const double block = (double)s->rows * (double)s->frames < (double)KVE_BLOCK_DOUBLES
                             ? (double)s->rows * (double)s->frames
                             : (double)KVE_BLOCK_DOUBLES;
    bytes += 8.0 * ((double)s->rows > block ? (double)s->rows : block) *
             kve_startBlocks(s->rows, s->frames < INT_MAX ? (int)s->frames : INT_MAX, K);
    return bytes;
}

bool kve_fitsMemory(double need, double cap)
{
    return cap <= 0 || need <= cap;
}
