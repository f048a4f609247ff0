/* Stand-in for the platform's vector library (double-precision vDSP subset),
 * built on FFTW3 and OpenBLAS. Strides count elements; outputs may alias inputs. */
#ifndef KV_ACCELERATE_H
#define KV_ACCELERATE_H

/* the platform's library carries BLAS beside vDSP: its C interface */
#include <cblas.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned long vDSP_Length;
typedef long vDSP_Stride;

typedef struct DSPDoubleComplex {
    double real;
    double imag;
} DSPDoubleComplex;

typedef struct DSPDoubleSplitComplex {
    double *realp;
    double *imagp;
} DSPDoubleSplitComplex;

typedef struct DSPSplitComplex {
    float *realp;
    float *imagp;
} DSPSplitComplex;

typedef struct OpaqueFFTSetupD *FFTSetupD;
typedef struct OpaqueFFTSetup *FFTSetup;
typedef int FFTDirection;
typedef int FFTRadix;

enum { kFFTDirection_Forward = 1, kFFTDirection_Inverse = -1 };
enum { kFFTRadix2 = 0, kFFTRadix3 = 1, kFFTRadix5 = 2 };
enum { vDSP_HALF_WINDOW = 1, vDSP_HANN_DENORM = 0, vDSP_HANN_NORM = 2 };

/* setup for real FFTs of every power of two up to 2^log2n; NULL on failure */
FFTSetupD vDSP_create_fftsetupD(vDSP_Length log2n, FFTRadix radix);
void vDSP_destroy_fftsetupD(FFTSetupD setup);

/* in-place real FFT of 2^log2n points held as n/2 packed pairs.
 * forward: 2 x DFT, DC in realp[0], Nyquist in imagp[0];
 * inverse: same packing in, n x inverse DFT out (no 1/n) */
void vDSP_fft_zripD(FFTSetupD setup, const DSPDoubleSplitComplex *c, vDSP_Stride stride, vDSP_Length log2n,
                    FFTDirection dir);

/* the same in single precision */
FFTSetup vDSP_create_fftsetup(vDSP_Length log2n, FFTRadix radix);
void vDSP_destroy_fftsetup(FFTSetup setup);
void vDSP_fft_zrip(FFTSetup setup, const DSPSplitComplex *c, vDSP_Stride stride, vDSP_Length log2n, FFTDirection dir);

/* in-place complex FFT of 2^log2n points in split form, unscaled:
 * forward X[k] = sum x[t] e^{-2 pi i k t / n}, inverse with e^{+2 pi i k t / n} */
void vDSP_fft_zipD(FFTSetupD setup, const DSPDoubleSplitComplex *c, vDSP_Stride stride, vDSP_Length log2n,
                   FFTDirection dir);

void vDSP_ctozD(const DSPDoubleComplex *c, vDSP_Stride ic, const DSPDoubleSplitComplex *z, vDSP_Stride iz,
                vDSP_Length n);
void vDSP_ztocD(const DSPDoubleSplitComplex *z, vDSP_Stride iz, DSPDoubleComplex *c, vDSP_Stride ic, vDSP_Length n);

/* periodic Blackman window; flag 0 full, vDSP_HALF_WINDOW the first half */
void vDSP_blkman_windowD(double *c, vDSP_Length n, int flag);

/* C (M x N) = A (M x P) . B (P x N), row-major */
void vDSP_mmulD(const double *a, vDSP_Stride ia, const double *b, vDSP_Stride ib, double *c, vDSP_Stride ic,
                vDSP_Length m, vDSP_Length n, vDSP_Length p);
/* C (M x N) = transpose of A (N x M) */
void vDSP_mtransD(const double *a, vDSP_Stride ia, double *c, vDSP_Stride ic, vDSP_Length m, vDSP_Length n);
/* copies N rows of M columns; ta and tc are the row strides */
void vDSP_mmovD(const double *a, double *c, vDSP_Length m, vDSP_Length n, vDSP_Length ta, vDSP_Length tc);

void vDSP_vaddD(const double *a, vDSP_Stride ia, const double *b, vDSP_Stride ib, double *c, vDSP_Stride ic,
                vDSP_Length n);
void vDSP_vsubD(const double *b, vDSP_Stride ib, const double *a, vDSP_Stride ia, double *c, vDSP_Stride ic,
                vDSP_Length n); /* C = A - B */
void vDSP_vmulD(const double *a, vDSP_Stride ia, const double *b, vDSP_Stride ib, double *c, vDSP_Stride ic,
                vDSP_Length n);
void vDSP_vdivD(const double *b, vDSP_Stride ib, const double *a, vDSP_Stride ia, double *c, vDSP_Stride ic,
                vDSP_Length n); /* C = A / B */
void vDSP_vsaddD(const double *a, vDSP_Stride ia, const double *b, double *c, vDSP_Stride ic, vDSP_Length n);
void vDSP_vsmulD(const double *a, vDSP_Stride ia, const double *b, double *c, vDSP_Stride ic, vDSP_Length n);
void vDSP_vsdivD(const double *a, vDSP_Stride ia, const double *b, double *c, vDSP_Stride ic, vDSP_Length n);
/* C = sqrt(A^2 + B^2) */
void vDSP_vdistD(const double *a, vDSP_Stride ia, const double *b, vDSP_Stride ib, double *c, vDSP_Stride ic,
                 vDSP_Length n);
void vDSP_vfillD(const double *a, double *c, vDSP_Stride ic, vDSP_Length n);
void vDSP_vclrD(double *c, vDSP_Stride ic, vDSP_Length n);
/* C[k] = *a + k * *b */
void vDSP_vrampD(const double *a, const double *b, double *c, vDSP_Stride ic, vDSP_Length n);

/* reductions: max (-inf for n = 0), max magnitude (0 for n = 0), mean (NaN for
 * n = 0), sum of squares, sum; the maxima pass over NaN values */
void vDSP_maxvD(const double *a, vDSP_Stride ia, double *c, vDSP_Length n);
void vDSP_maxmgvD(const double *a, vDSP_Stride ia, double *c, vDSP_Length n);
void vDSP_meanvD(const double *a, vDSP_Stride ia, double *c, vDSP_Length n);
void vDSP_svesqD(const double *a, vDSP_Stride ia, double *c, vDSP_Length n);
void vDSP_sveD(const double *a, vDSP_Stride ia, double *c, vDSP_Length n);

/* reorders the index array (entries index values c[]) so that the values it
 * points at ascend (order 1) or descend (order -1); stable, NaN lowest */
void vDSP_vsortiD(const double *c, vDSP_Length *i, vDSP_Length *tmp, vDSP_Length n, int order);

#ifdef __cplusplus
}
#endif

#endif
