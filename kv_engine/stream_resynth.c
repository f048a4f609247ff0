/* The work of one block in the resynthesis pass: the spectra and the model's
 * reciprocal per frame, then each output's mask, inverse and overlap-add, in
 * double or in single precision. */
#include "stream_internal.h"

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
        for (size_t j = q->j0; j < q->j1; j++) kve_modelInverseD(p, j);
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
