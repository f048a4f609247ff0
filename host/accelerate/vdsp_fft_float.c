/* Packed real FFT in single precision on FFTW3's float library: the same
 * layout and scaling as vDSP_fft_zripD, and the same planning (estimated, so
 * every run gets the same plan and the same bits). */
#include <Accelerate/Accelerate.h>

#include <fftw3.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdlib.h>

#define KV_FFTF_MAX_LOG2 30

struct OpaqueFFTSetup {
    vDSP_Length maxLog2;
    _Atomic(float *) buf;                          /* the packed pairs, then the real samples; NULL while in use */
    _Atomic(fftwf_plan) fwd[KV_FFTF_MAX_LOG2 + 1]; /* r2c in place */
    _Atomic(fftwf_plan) inv[KV_FFTF_MAX_LOG2 + 1]; /* c2r out of place */
};

/* the float library's planner is its own global object, not thread-safe */
static pthread_mutex_t planner_lock = PTHREAD_MUTEX_INITIALIZER;

/* n + 2 values of packed pairs rounded to 64 bytes, then n real samples */
static size_t buf_split(vDSP_Length log2n) {
    return ((((size_t)1 << log2n) + 2) + 15) & ~(size_t)15;
}

static size_t buf_len(vDSP_Length log2n) {
    return buf_split(log2n) + ((size_t)1 << log2n);
}

FFTSetup vDSP_create_fftsetup(vDSP_Length log2n, FFTRadix radix) {
    if (radix != kFFTRadix2 || log2n > KV_FFTF_MAX_LOG2) return NULL;
    FFTSetup s = calloc(1, sizeof *s);
    float *b = s ? fftwf_malloc(buf_len(log2n) * sizeof(float)) : NULL;
    if (!b) {
        free(s);
        return NULL;
    }
    s->maxLog2 = log2n;
    atomic_init(&s->buf, b);
    for (int i = 0; i <= KV_FFTF_MAX_LOG2; i++) {
        atomic_init(&s->fwd[i], NULL);
        atomic_init(&s->inv[i], NULL);
    }
    return s;
}

void vDSP_destroy_fftsetup(FFTSetup s) {
    if (!s) return;
    pthread_mutex_lock(&planner_lock);
    for (int i = 0; i <= KV_FFTF_MAX_LOG2; i++) {
        fftwf_plan p = atomic_load(&s->fwd[i]);
        if (p) fftwf_destroy_plan(p);
        if ((p = atomic_load(&s->inv[i])) != NULL) fftwf_destroy_plan(p);
    }
    pthread_mutex_unlock(&planner_lock);
    fftwf_free(atomic_load(&s->buf));
    free(s);
}

#define KV_R float
#define KV_W(name) fftwf_##name
#define KV_SETUP FFTSetup
#define KV_SPLIT DSPSplitComplex
#define KV_ZRIP vDSP_fft_zrip
#include "vdsp_fft_real.h"
