/* Spectral processing and sound-file input/output.
 * Spectrograms are row-major bins x frames (bin b of frame t at b*frames + t),
 * bins = N/2 + 1. Callers allocate every output; scratch is per call. */
#ifndef QM_AUDIO_H
#define QM_AUDIO_H

#include <Accelerate/Accelerate.h>
#include <AudioToolbox/AudioToolbox.h>

#ifdef __cplusplus
extern "C" {
#endif

/* re, im ((N/2+1) x numFrames) = DFT of each sqrt-Blackman-windowed frame of
 * N samples, frames hop apart; x holds (numFrames-1)*hop + N samples.
 * Returns 0, or -1 when scratch could not be had (outputs untouched). */
int qm_STFT(FFTSetupD setup, const double *x, int N, int numFrames, int hop,
            double *re, double *im);
/* out += windowed overlap-add of the inverse DFT of each column; out holds
 * (numFrames-1)*hop + N samples. Returns 0, or -1 (out untouched). */
int qm_ISTFT(FFTSetupD setup, const double *re, const double *im, int N,
             int numFrames, int hop, double *out);
/* out += ISTFT(X * mask / (model + 0.1)), all rows x cols, rows = N/2 + 1.
 * Returns 0, or -1 (out untouched). */
int qm_wienerResynth(const double *mask, const double *model, const double *re,
                     const double *im, int rows, int cols, FFTSetupD setup,
                     int N, int hop, double *out);

/* sum((i+1) v[i]) / sum(v[i]): centroid in bins counted from 1 */
double qm_spectralCentroid(const double *v, int n);
/* m4 / m2^2 with population moments (3 is not subtracted) */
double qm_kurtosis(const double *x, int n);
/* out[f] (N values) = RMS of x[f*hop .. f*hop + L - 1] */
void qm_RMS(const double *x, int L, int N, int hop, double *out);

double qm_freq2mel(double f);
double qm_mel2freq(double m);
/* filterbank (numFilters x numBins) of triangles between mel-spaced edges and
 * DCT matrix (numCeps x numFilters); arguments out of range write nothing */
void qm_initMFCC(int numCeps, int numFilters, double sr, int numBins,
                 double minFreq, double maxFreq, double *filterbank, double *dct);
/* mfcc (numCeps x numFrames) = dct . log(filterbank . spec) */
void qm_MFCC(const double *spec, const double *filterbank, const double *dct,
             int numBins, int numFrames, int numCeps, int numFilters, double *mfcc);

/* out += ISTFT(mag * (u1 + i u2)), u1 then u2 drawn from rand() in storage
 * order (2 * rows * cols draws); on scratch failure nothing is drawn or added */
void qm_noiseResynth(const double *mag, int rows, int cols, FFTSetupD setup,
                     int N, int hop, double *out);

/* Sound files (16-bit linear PCM). Status 0 on success, negative on failure;
 * messages go to stdout. The channel arrays are malloc'ed for the caller. */
int qm_wavreadOSX(const char *path, double **left, double **right, int *numFrames,
                  AudioStreamBasicDescription *format);
int qm_wavreadOSX_Seek(const char *path, double **left, double **right,
                       int *numFrames, AudioStreamBasicDescription *format,
                       float segDur, int reset, double maxLength);
int qm_wavwriteOSX(const char *path, double *left, double *right, int numFrames,
                   AudioStreamBasicDescription format);
int qm_wavwriteOSX_Seek(const char *path, double *left, double *right,
                        int numFrames, AudioStreamBasicDescription format,
                        float segDur, int first);

#ifdef __cplusplus
}
#endif

#endif
