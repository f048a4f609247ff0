/* The work of one block in the resynthesis pass: the spectra and the model's
 * reciprocal (or the spatial filter's inverse) per frame, then each output's
 * mask, inverse and overlap-add, in double or in single precision. */
#include "stream_internal.h"

#include "model_internal.h"

#include <string.h>
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

/* copies of the per-bin and per-sample loops in wider vectors, chosen when
 * the program loads; this file is built without fused multiply-adds (see
 * CMakeLists.txt), so every copy gives the same bits */
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define KVE_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define KVE_CLONES
#endif

/* frames handled together in the inverses */
enum { KVE_SUB = 8 };

/* the rows of channel c within W's and the model's */
static size_t kve_row0(const kve_streamShape *s, int c)
{
    return s->stacked ? (size_t)c * (size_t)s->bins : 0;
}

static void kve_inverseD(const kve_pass *p, int part, double *y, size_t io, vDSP_Length log2n)
{
    DSPDoubleSplitComplex z = {y, y + io};
    vDSP_fft_zripD(kve_setupOf(&p->f, part), &z, 1, log2n, kFFTDirection_Inverse);
}

static void kve_inverseS(const kve_pass *p, int part, float *y, size_t io, vDSP_Length log2n)
{
    DSPSplitComplex z = {y, y + io};
    vDSP_fft_zrip(p->sgl.setup[p->f.threads == 2 ? part : 0], &z, 1, log2n, kFFTDirection_Inverse);
}

/* the block's frame j of channel c as floats (single precision) */
static float *kve_frameS(const kve_pass *p, int c, size_t j)
{
    return p->sgl.x + ((size_t)c * KVE_BLOCK + j) * p->f.sgram[0].ld;
}

/* one bin's sum_k h_k C_k over the components, in their order */
static inline void kve_spatialBin(const kve_pass *p, const int *comps, int count, size_t t,
                                  const float *c0, double *restrict m, size_t b)
{
    const kve_streamShape *s = p->f.s;
    const size_t bins = (size_t)s->bins;
    double l = 0, x = 0, r = 0;
    for (int i = 0; i < count; i++) {
        const size_t k = comps ? (size_t)comps[i] : (size_t)i;
        const double hk = p->H[k * (size_t)s->frames + t];
        const float *c = c0 + k * 3 * bins + b;
        l += (double)c[0] * hk;
        x += (double)c[bins] * hk;
        r += (double)c[2 * bins] * hk;
    }
    m[b] = l, m[bins + b] = x, m[2 * bins + b] = r;
}

#if defined(__GNUC__) && defined(__x86_64__)
/* eight bins at a time in registers: the same products and sums in the
 * same order as kve_spatialBin */
__attribute__((target("avx2"))) static size_t kve_spatialAdd8(const kve_pass *p, const int *comps,
                                                              int count, size_t t, const float *c0,
                                                              double *restrict m, size_t n)
{
    const kve_streamShape *s = p->f.s;
    const size_t bins = (size_t)s->bins, n8 = n & ~(size_t)7;
    for (size_t b = 0; b < n8; b += 8) {
        __m256d l0 = _mm256_setzero_pd(), l1 = l0, x0 = l0, x1 = l0, r0 = l0, r1 = l0;
        for (int i = 0; i < count; i++) {
            const size_t k = comps ? (size_t)comps[i] : (size_t)i;
            const __m256d hk = _mm256_set1_pd(p->H[k * (size_t)s->frames + t]);
            const float *c = c0 + k * 3 * bins + b;
#define KVE_ADD4(a, q) a = _mm256_add_pd(a, _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(q)), hk))
            KVE_ADD4(l0, c);
            KVE_ADD4(l1, c + 4);
            KVE_ADD4(x0, c + bins);
            KVE_ADD4(x1, c + bins + 4);
            KVE_ADD4(r0, c + 2 * bins);
            KVE_ADD4(r1, c + 2 * bins + 4);
#undef KVE_ADD4
        }
        _mm256_storeu_pd(m + b, l0);
        _mm256_storeu_pd(m + b + 4, l1);
        _mm256_storeu_pd(m + bins + b, x0);
        _mm256_storeu_pd(m + bins + b + 4, x1);
        _mm256_storeu_pd(m + 2 * bins + b, r0);
        _mm256_storeu_pd(m + 2 * bins + b + 4, r1);
    }
    return n8;
}
#endif

/* sum_k h_k C_k in frame j over components comps[0 .. count) (all K when
 * comps is NULL), bins b0 .. b0 + n - 1: LL at m, LR at m + bins, RR at
 * m + 2 bins, each bin summed over the components in their order */
static void kve_spatialAdd(const kve_pass *p, const int *comps, int count, size_t j, size_t b0,
                           size_t n, double *restrict m)
{
    const size_t t = (size_t)p->f.t0 + j;
    const float *c0 = p->spC + b0;
    m += b0;
    size_t done = 0;
#if defined(__GNUC__) && defined(__x86_64__)
    if (kve_vectorLevel() >= KVE_VECTOR_AVX2) done = kve_spatialAdd8(p, comps, count, t, c0, m, n);
#endif
    for (size_t b = done; b < n; b++) kve_spatialBin(p, comps, count, t, c0, m, b);
}

/* The spatial filter's A^-1 for every bin of frame j: A = sum_k h_k C_k
 * widened on the diagonal by the load times its trace and K x the floor,
 * inverted through A / trace(A), whose determinant stays well above
 * rounding. In double in either precision. */
KVE_CLONES static void kve_spatialInverse(const kve_pass *p, size_t j)
{
    const size_t bins = (size_t)p->f.s->bins;
    double *const inv = p->spInv + j * 3 * bins;
    const double load = KVE_SPATIAL_LOAD / 2, floor = (double)p->K * DBL_MIN;
    /* a stretch of bins at a time, its sums kept in the first cache */
    enum { STRETCH = 256 };
    for (size_t b0 = 0; b0 < bins; b0 += STRETCH) {
        const size_t n = bins - b0 < STRETCH ? bins - b0 : STRETCH;
        kve_spatialAdd(p, NULL, p->K, j, b0, n, inv);
        double *restrict ll = inv + b0, *restrict lr = ll + bins, *restrict rr = lr + bins;
        for (size_t b = 0; b < n; b++) {
            const double del = load * (ll[b] + rr[b]) + floor;
            const double a0 = ll[b] + del, d0 = rr[b] + del, is = 1.0 / (a0 + d0);
            const double a = a0 * is, m = lr[b] * is, d = d0 * is;
            const double f = is / (a * d - m * m);
            ll[b] = d * f;
            lr[b] = -m * f;
            rr[b] = a * f;
        }
    }
}

#define KVE_R double
#define KVE_N(name) name##D
#define KVE_B(p) (&(p)->dbl)
#define KVE_E KVE_FLOOR
#define KVE_X(p, c, j) kve_frameAt(&(p)->f, c, j)
#define KVE_INVERSE kve_inverseD
#include "stream_resynth_kern.h"
#undef KVE_R
#undef KVE_N
#undef KVE_B
#undef KVE_E
#undef KVE_X
#undef KVE_INVERSE

#define KVE_R float
#define KVE_N(name) name##S
#define KVE_B(p) (&(p)->sgl)
#define KVE_E KVE_FLOOR_SINGLE
#define KVE_X(p, c, j) kve_frameS(p, c, j)
#define KVE_INVERSE kve_inverseS
#include "stream_resynth_kern.h"

/* frame j of channel c windowed and packed in float (even samples as real,
 * odd as imaginary parts), then transformed */
KVE_CLONES static void kve_packS(const kve_pass *p, int c, size_t j)
{
    const size_t h = (size_t)p->f.s->N / 2, off = j * (size_t)p->f.s->hop;
    const float *restrict g = p->sgl.g;
    const double *restrict x = p->f.in[c] + off;
    float *restrict fr = kve_frameS(p, c, j), *restrict fi = fr + p->f.sgram[c].io;
    for (size_t k = 0; k < h; k++) {
        fr[k] = g[2 * k] * (float)x[2 * k];
        fi[k] = g[2 * k + 1] * (float)x[2 * k + 1];
    }
}

void *kve_spectraPart(void *arg)
{
    const kve_part *q = arg;
    const kve_pass *p = q->p;
    if (!p->single) {
        kve_framesForward(&p->f, q->j0, q->j1, q->part);
        for (size_t j = q->j0; j < q->j1; j++)
            if (p->spatial)
                kve_spatialInverse(p, j);
            else
                kve_modelInverseD(p, j);
        return NULL;
    }
    for (size_t j = q->j0; j < q->j1; j++) {
        for (int c = 0; c < p->f.ch; c++) {
            kve_packS(p, c, j);
            float *fr = kve_frameS(p, c, j);
            DSPSplitComplex z = {fr, fr + p->f.sgram[c].io};
            vDSP_fft_zrip(p->sgl.setup[p->f.threads == 2 ? q->part : 0], &z, 1, p->f.sgram[c].log2n,
                          kFFTDirection_Forward);
        }
        if (p->spatial)
            kve_spatialInverse(p, j);
        else
            kve_modelInverseS(p, j);
    }
    return NULL;
}

void *kve_inversePart(void *arg)
{
    const kve_part *q = arg;
    if (q->p->single)
        kve_inversesS(q);
    else
        kve_inversesD(q);
    return NULL;
}
