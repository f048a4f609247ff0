/* Packed real FFT in single precision on FFTW3's float library: the same
 * layout and scaling as vDSP_fft_zripD, made as a complex FFT of half the
 * size and one pass of twiddles, the way the packed layout is meant to be
 * used: the split halves are the even and odd samples. Plans are estimated,
 * so every run gets the same plan and the same bits. */
#include <Accelerate/Accelerate.h>

#include <fftw3.h>
#include <math.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdlib.h>

#define KV_FFTF_MAX_LOG2 30

typedef struct {
    fftwf_plan fwd, inv; /* complex, n / 2 points, in place */
    float *tw;           /* cos, -sin of 2 pi k / n for k < n / 2, interleaved */
} kv_fftf_size;

struct OpaqueFFTSetup {
    vDSP_Length maxLog2;
    _Atomic(float *) buf; /* 2^maxLog2 floats; NULL while in use */
    _Atomic(kv_fftf_size *) size[KV_FFTF_MAX_LOG2 + 1];
};

/* the float library's planner is its own global object, not thread-safe */
static pthread_mutex_t planner_lock = PTHREAD_MUTEX_INITIALIZER;

FFTSetup vDSP_create_fftsetup(vDSP_Length log2n, FFTRadix radix) {
    if (radix != kFFTRadix2 || log2n > KV_FFTF_MAX_LOG2) return NULL;
    FFTSetup s = calloc(1, sizeof *s);
    float *b = s ? fftwf_malloc(((size_t)1 << log2n) * sizeof(float)) : NULL;
    if (!b) {
        free(s);
        return NULL;
    }
    s->maxLog2 = log2n;
    atomic_init(&s->buf, b);
    for (int i = 0; i <= KV_FFTF_MAX_LOG2; i++) atomic_init(&s->size[i], NULL);
    return s;
}

static void size_free(kv_fftf_size *z) {
    if (!z) return;
    if (z->fwd) fftwf_destroy_plan(z->fwd);
    if (z->inv) fftwf_destroy_plan(z->inv);
    fftwf_free(z->tw);
    free(z);
}

void vDSP_destroy_fftsetup(FFTSetup s) {
    if (!s) return;
    pthread_mutex_lock(&planner_lock);
    for (int i = 0; i <= KV_FFTF_MAX_LOG2; i++) size_free(atomic_load(&s->size[i]));
    pthread_mutex_unlock(&planner_lock);
    fftwf_free(atomic_load(&s->buf));
    free(s);
}

static kv_fftf_size *size_new(vDSP_Length log2n) {
    const size_t n = (size_t)1 << log2n, h = n / 2;
    kv_fftf_size *z = calloc(1, sizeof *z);
    float *tmp = fftwf_malloc(n * sizeof(float));
    if (z) z->tw = fftwf_malloc(n * sizeof(float));
    if (z && tmp && z->tw) {
        fftwf_complex *c = (fftwf_complex *)tmp;
        z->fwd = fftwf_plan_dft_1d((int)h, c, c, FFTW_FORWARD, FFTW_ESTIMATE);
        z->inv = fftwf_plan_dft_1d((int)h, c, c, FFTW_BACKWARD, FFTW_ESTIMATE);
        for (size_t k = 0; k < h; k++) {
            const double a = 2.0 * M_PI * (double)k / (double)n;
            z->tw[2 * k] = (float)cos(a);
            z->tw[2 * k + 1] = (float)-sin(a);
        }
    }
    fftwf_free(tmp);
    if (z && (!z->fwd || !z->inv)) {
        size_free(z);
        z = NULL;
    }
    return z;
}

static kv_fftf_size *get_size(FFTSetup s, vDSP_Length log2n) {
    kv_fftf_size *z = atomic_load_explicit(&s->size[log2n], memory_order_acquire);
    if (z) return z;
    pthread_mutex_lock(&planner_lock);
    z = atomic_load_explicit(&s->size[log2n], memory_order_relaxed);
    if (!z) {
        z = size_new(log2n);
        atomic_store_explicit(&s->size[log2n], z, memory_order_release);
    }
    pthread_mutex_unlock(&planner_lock);
    return z;
}

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define KV_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define KV_CLONES
#endif

/* b = re[0], im[0], re[1], im[1], ... over h pairs: the samples in order */
KV_CLONES static void interleave(float *restrict b, const float *restrict re, const float *restrict im, size_t h) {
    for (size_t k = 0; k < h; k++) {
        b[2 * k] = re[k];
        b[2 * k + 1] = im[k];
    }
}

/* 2 X[k] from Z = the DFT of the pairs: (Z[k] + Z*[h-k]) - i w^k (Z[k] - Z*[h-k]),
 * X[0] and X[h] packed into re[0] and im[0] */
KV_CLONES static void untangle(float *restrict re, float *restrict im, const float *restrict b,
                               const float *restrict tw, size_t h) {
    re[0] = 2 * (b[0] + b[1]);
    im[0] = 2 * (b[0] - b[1]);
    for (size_t k = 1; k < h; k++) {
        const float zr = b[2 * k], zi = b[2 * k + 1], yr = b[2 * (h - k)], yi = b[2 * (h - k) + 1];
        const float er = zr + yr, ei = zi - yi, dr = zr - yr, di = zi + yi;
        const float c = tw[2 * k], s = tw[2 * k + 1];
        re[k] = er + c * di + s * dr;
        im[k] = ei - c * dr + s * di;
    }
}

/* the reverse: Z[k] = E + i O, E = X[k] + X*[h-k], O = (X[k] - X*[h-k]) w^-k */
KV_CLONES static void tangle(float *restrict b, const float *restrict re, const float *restrict im,
                             const float *restrict tw, size_t h) {
    b[0] = re[0] + im[0];
    b[1] = re[0] - im[0];
    for (size_t k = 1; k < h; k++) {
        const float xr = re[k], xi = im[k], yr = re[h - k], yi = im[h - k];
        const float er = xr + yr, ei = xi - yi, dr = xr - yr, di = xi + yi;
        const float c = tw[2 * k], s = tw[2 * k + 1];
        b[2 * k] = er - c * di + s * dr;
        b[2 * k + 1] = ei + c * dr + s * di;
    }
}

/* the samples back into their halves */
KV_CLONES static void deinterleave(float *restrict re, float *restrict im, const float *restrict b, size_t h) {
    for (size_t k = 0; k < h; k++) {
        re[k] = b[2 * k];
        im[k] = b[2 * k + 1];
    }
}

static void fft_unit(FFTSetup s, float *re, float *im, vDSP_Length log2n, FFTDirection dir) {
    const size_t n = (size_t)1 << log2n, h = n / 2;
    kv_fftf_size *z = get_size(s, log2n);
    if (!z) return;
    float *own = atomic_exchange(&s->buf, NULL);
    float *b = own ? own : fftwf_malloc(n * sizeof(float));
    if (!b) return;
    fftwf_complex *c = (fftwf_complex *)b;
    if (dir == kFFTDirection_Forward) {
        interleave(b, re, im, h);
        fftwf_execute_dft(z->fwd, c, c);
        untangle(re, im, b, z->tw, h);
    } else {
        tangle(b, re, im, z->tw, h);
        fftwf_execute_dft(z->inv, c, c);
        deinterleave(re, im, b, h);
    }
    if (own)
        atomic_store(&s->buf, own);
    else
        fftwf_free(b);
}

#define KV_R float
#define KV_SETUP FFTSetup
#define KV_SPLIT DSPSplitComplex
#define KV_ZRIP vDSP_fft_zrip
#include "vdsp_fft_strided.h"
