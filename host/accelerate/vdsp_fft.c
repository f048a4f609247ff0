/* Packed real FFT and split complex FFT on FFTW3.
 *
 * Each size gets an in-place r2c and an out-of-place c2r plan (the inverse
 * then needs no internal copy), made on first use under a lock. FFTW's
 * new-array execution needs arrays laid out like the planned ones, so the
 * packed pairs are copied through a buffer that the setup owns; a second
 * thread that finds it taken works in a buffer of its own for that call. */
#include <Accelerate/Accelerate.h>

#include <fftw3.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#define KV_FFT_MAX_LOG2 30
#define KV_ZIP_SLOTS 16

struct OpaqueFFTSetupD {
    vDSP_Length maxLog2;
    _Atomic(double *) buf; /* 2^maxLog2 + 2 doubles, or NULL while in use */
    _Atomic(fftw_plan) fwd[KV_FFT_MAX_LOG2 + 1];
    _Atomic(fftw_plan) inv[KV_FFT_MAX_LOG2 + 1];
    struct {
        _Atomic(fftw_plan) plan; /* set last, once the key is in place */
        vDSP_Length log2n;
        ptrdiff_t dist;                              /* bytes from the real to the imaginary array */
        int align;                                   /* fftw_alignment_of the real array */
    } zip[KV_ZIP_SLOTS];                             /* complex split plans, in place */
    _Atomic(fftw_plan) zipc[2][KV_FFT_MAX_LOG2 + 1]; /* the same for zip_copied's layout,
                                                      * [1] with the arrays swapped */
};

/* FFTW's planner is one global object and not thread-safe: every planner call,
 * for every setup, goes through this lock. Executing a plan needs no lock. */
static pthread_mutex_t planner_lock = PTHREAD_MUTEX_INITIALIZER;

/* the packed pairs, n + 2 values, then (aligned like the start) the n samples
 * that the out-of-place transforms read or write */
static size_t buf_split(vDSP_Length log2n) {
    return ((((size_t)1 << log2n) + 2) + 7) & ~(size_t)7;
}

static size_t buf_len(vDSP_Length log2n) {
    return buf_split(log2n) + ((size_t)1 << log2n);
}

FFTSetupD vDSP_create_fftsetupD(vDSP_Length log2n, FFTRadix radix) {
    if (radix != kFFTRadix2 || log2n > KV_FFT_MAX_LOG2) return NULL;
    FFTSetupD s = calloc(1, sizeof *s);
    if (!s) return NULL;
    s->maxLog2 = log2n;
    double *b = fftw_malloc(buf_len(log2n) * sizeof(double));
    if (!b) {
        free(s);
        return NULL;
    }
    atomic_init(&s->buf, b);
    for (int i = 0; i <= KV_FFT_MAX_LOG2; i++) {
        atomic_init(&s->fwd[i], NULL);
        atomic_init(&s->inv[i], NULL);
        atomic_init(&s->zipc[0][i], NULL);
        atomic_init(&s->zipc[1][i], NULL);
    }
    for (int i = 0; i < KV_ZIP_SLOTS; i++) atomic_init(&s->zip[i].plan, NULL);
    return s;
}

void vDSP_destroy_fftsetupD(FFTSetupD s) {
    if (!s) return;
    pthread_mutex_lock(&planner_lock);
    for (int i = 0; i <= KV_FFT_MAX_LOG2; i++) {
        fftw_plan p = atomic_load(&s->fwd[i]);
        if (p) fftw_destroy_plan(p);
        p = atomic_load(&s->inv[i]);
        if (p) fftw_destroy_plan(p);
        for (int d = 0; d < 2; d++)
            if ((p = atomic_load(&s->zipc[d][i])) != NULL) fftw_destroy_plan(p);
    }
    for (int i = 0; i < KV_ZIP_SLOTS; i++) {
        fftw_plan p = atomic_load(&s->zip[i].plan);
        if (p) fftw_destroy_plan(p);
    }
    pthread_mutex_unlock(&planner_lock);
    fftw_free(atomic_load(&s->buf));
    free(s);
}

static fftw_plan get_plan(FFTSetupD s, vDSP_Length log2n, int forward) {
    _Atomic(fftw_plan) *slot = forward ? &s->fwd[log2n] : &s->inv[log2n];
    fftw_plan p = atomic_load_explicit(slot, memory_order_acquire);
    if (p) return p;
    pthread_mutex_lock(&planner_lock);
    p = atomic_load_explicit(slot, memory_order_relaxed);
    if (!p) {
        int n = 1 << log2n;
        /* estimated, not measured: the same plan, hence the same bits, on every run */
        double *tmp = fftw_malloc(buf_len(log2n) * sizeof(double));
        if (tmp) {
            double *real = tmp + buf_split(log2n);
            if (forward)
                p = fftw_plan_dft_r2c_1d(n, tmp, (fftw_complex *)tmp, FFTW_ESTIMATE);
            else
                p = fftw_plan_dft_c2r_1d(n, (fftw_complex *)tmp, real, FFTW_ESTIMATE);
            fftw_free(tmp);
            atomic_store_explicit(slot, p, memory_order_release);
        }
    }
    pthread_mutex_unlock(&planner_lock);
    return p;
}

/* copies of the packing loops in wider vectors, chosen when the program
 * loads: they only move values (and double them, exactly), so every copy
 * gives the same bits */
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define KV_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define KV_CLONES
#endif

/* b = re[0], im[0], re[1], im[1], ... over h pairs */
KV_CLONES static void interleave(double *restrict b, const double *restrict re, const double *restrict im, size_t h) {
    for (size_t k = 0; k < h; k++) {
        b[2 * k] = re[k];
        b[2 * k + 1] = im[k];
    }
}

/* the reverse, times s (1 or 2) */
KV_CLONES static void deinterleave(double *restrict re, double *restrict im, const double *restrict b, size_t h,
                                   double s) {
    for (size_t k = 0; k < h; k++) {
        re[k] = s * b[2 * k];
        im[k] = s * b[2 * k + 1];
    }
}

static void fft_unit(FFTSetupD s, double *re, double *im, vDSP_Length log2n, FFTDirection dir) {
    size_t n = (size_t)1 << log2n, h = n / 2;
    int forward = dir == kFFTDirection_Forward;
    fftw_plan p = get_plan(s, log2n, forward);
    if (!p) return;
    double *own = atomic_exchange(&s->buf, NULL);
    double *b = own ? own : fftw_malloc(buf_len(log2n) * sizeof(double));
    if (!b) return;
    if (forward) {
        interleave(b, re, im, h);
        fftw_execute_dft_r2c(p, b, (fftw_complex *)b);
        /* b holds X[0 .. n/2] as interleaved pairs */
        const double nyquist = b[n];
        deinterleave(re, im, b, h, (double)2);
        im[0] = (double)2 * nyquist;
    } else {
        interleave(b, re, im, h);
        b[1] = 0;
        b[n] = im[0];
        b[n + 1] = 0;
        double *real = b + buf_split(log2n);
        fftw_execute_dft_c2r(p, (fftw_complex *)b, real);
        deinterleave(re, im, real, h, (double)1);
    }
    if (own)
        atomic_store(&s->buf, own);
    else
        fftw_free(b);
}

#define KV_R double
#define KV_SETUP FFTSetupD
#define KV_SPLIT DSPDoubleSplitComplex
#define KV_ZRIP vDSP_fft_zripD
#include "vdsp_fft_strided.h"

/* A split plan of FFTW holds the distance from the real to the imaginary
 * array (some of its solvers treat the pair as a vector of two), so plans are
 * kept per size, distance and alignment: made on first use with the caller's
 * own arrays (an estimated plan does not touch them), looked up after. */
static fftw_plan find_zip(FFTSetupD s, vDSP_Length log2n, ptrdiff_t dist, int align) {
    for (int i = 0; i < KV_ZIP_SLOTS; i++) {
        fftw_plan p = atomic_load_explicit(&s->zip[i].plan, memory_order_acquire);
        if (!p) return NULL;
        if (s->zip[i].log2n == log2n && s->zip[i].dist == dist && s->zip[i].align == align) return p;
    }
    return NULL;
}

static fftw_plan plan_zip(double *re, double *im, vDSP_Length log2n) {
    fftw_iodim dim = {1 << log2n, 1, 1};
    return fftw_plan_guru_split_dft(1, &dim, 0, NULL, re, im, re, im, FFTW_ESTIMATE);
}

/* a new plan for re, im in the table's first free slot; NULL when it is full.
 * Under the planner lock. */
static fftw_plan add_zip(FFTSetupD s, double *re, double *im, vDSP_Length log2n, ptrdiff_t dist, int align) {
    for (int i = 0; i < KV_ZIP_SLOTS; i++) {
        if (atomic_load_explicit(&s->zip[i].plan, memory_order_relaxed)) continue;
        fftw_plan p = plan_zip(re, im, log2n);
        if (p) {
            s->zip[i].log2n = log2n;
            s->zip[i].dist = dist;
            s->zip[i].align = align;
            atomic_store_explicit(&s->zip[i].plan, p, memory_order_release);
        }
        return p;
    }
    return NULL;
}

/* the forward plan for re, im in place, from the table, or from the setup's
 * own slot for zip_copied's layout (canonical); NULL when the table is full */
static fftw_plan get_zip_plan(FFTSetupD s, double *re, double *im, vDSP_Length log2n, int canonical) {
    const ptrdiff_t dist = (ptrdiff_t)((intptr_t)im - (intptr_t)re);
    const int align = fftw_alignment_of(re);
    _Atomic(fftw_plan) *own = &s->zipc[dist < 0][log2n];
    fftw_plan p = canonical ? atomic_load_explicit(own, memory_order_acquire) : find_zip(s, log2n, dist, align);
    if (p) return p;
    pthread_mutex_lock(&planner_lock);
    if (canonical) {
        p = atomic_load_explicit(own, memory_order_relaxed);
        if (!p && (p = plan_zip(re, im, log2n)) != NULL) atomic_store_explicit(own, p, memory_order_release);
    } else if (!(p = find_zip(s, log2n, dist, align))) {
        p = add_zip(s, re, im, log2n, dist, align);
    }
    pthread_mutex_unlock(&planner_lock);
    return p;
}

/* the inverse is the forward with the real and imaginary arrays swapped */
static int zip_run(FFTSetupD s, double *re, double *im, vDSP_Length log2n, FFTDirection dir, int canonical) {
    double *a = dir == kFFTDirection_Forward ? re : im, *b = a == re ? im : re;
    fftw_plan p = get_zip_plan(s, a, b, log2n, canonical);
    if (!p) return -1;
    fftw_execute_split_dft(p, a, b, a, b);
    return 0;
}

/* through a buffer of the canonical layout: strided arrays, or a full table */
static void zip_copied(FFTSetupD s, const DSPDoubleSplitComplex *c, vDSP_Stride stride, vDSP_Length log2n,
                       FFTDirection dir) {
    const size_t n = (size_t)1 << log2n, half = ((size_t)1 << s->maxLog2);
    double *re = fftw_malloc(2 * half * sizeof(double));
    if (!re) return;
    double *im = re + half;
    for (size_t k = 0; k < n; k++) {
        re[k] = c->realp[(ptrdiff_t)k * stride];
        im[k] = c->imagp[(ptrdiff_t)k * stride];
    }
    if (zip_run(s, re, im, log2n, dir, 1) == 0)
        for (size_t k = 0; k < n; k++) {
            c->realp[(ptrdiff_t)k * stride] = re[k];
            c->imagp[(ptrdiff_t)k * stride] = im[k];
        }
    fftw_free(re);
}

void vDSP_fft_zipD(FFTSetupD setup, const DSPDoubleSplitComplex *c, vDSP_Stride stride, vDSP_Length log2n,
                   FFTDirection dir) {
    if (!setup || !c || log2n > setup->maxLog2 || stride == 0) return;
    if (dir != kFFTDirection_Forward && dir != kFFTDirection_Inverse) return;
    if (stride != 1 || zip_run(setup, c->realp, c->imagp, log2n, dir, 0) != 0) zip_copied(setup, c, stride, log2n, dir);
}

/* Interleaved strides count doubles: 2 means consecutive pairs. */
void vDSP_ctozD(const DSPDoubleComplex *c, vDSP_Stride ic, const DSPDoubleSplitComplex *z, vDSP_Stride iz,
                vDSP_Length n) {
    const double *x = (const double *)c;
    double *re = z->realp, *im = z->imagp;
    if (ic == 2 && iz == 1) {
        for (vDSP_Length k = 0; k < n; k++) {
            re[k] = x[2 * k];
            im[k] = x[2 * k + 1];
        }
        return;
    }
    for (vDSP_Length k = 0; k < n; k++) {
        re[(ptrdiff_t)k * iz] = x[(ptrdiff_t)k * ic];
        im[(ptrdiff_t)k * iz] = x[(ptrdiff_t)k * ic + 1];
    }
}

void vDSP_ztocD(const DSPDoubleSplitComplex *z, vDSP_Stride iz, DSPDoubleComplex *c, vDSP_Stride ic, vDSP_Length n) {
    double *x = (double *)c;
    const double *re = z->realp, *im = z->imagp;
    if (ic == 2 && iz == 1) {
        for (vDSP_Length k = 0; k < n; k++) {
            x[2 * k] = re[k];
            x[2 * k + 1] = im[k];
        }
        return;
    }
    for (vDSP_Length k = 0; k < n; k++) {
        x[(ptrdiff_t)k * ic] = re[(ptrdiff_t)k * iz];
        x[(ptrdiff_t)k * ic + 1] = im[(ptrdiff_t)k * iz];
    }
}
