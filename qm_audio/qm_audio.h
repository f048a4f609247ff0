/* Spectral processing and sound-file input/output.
 * Spectrograms are row-major bins x frames (bin b of frame t at b*frames + t),
 * bins = N/2 + 1. Callers allocate every output; scratch is per call. */
#ifndef QM_AUDIO_H
#define QM_AUDIO_H

#include <Accelerate/Accelerate.h>
#include <AudioToolbox/AudioToolbox.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* the floor under the model in the soft mask mask / (model + floor) */
#define QM_WIENER_FLOOR 0.1
/* a sound that reaches full scale is brought down to this peak */
#define QM_CLIP_GAIN 0.999
/* rand() / QM_RAND_SCALE lies in [0, 1] */
#ifndef QM_RAND_SCALE
#define QM_RAND_SCALE 2147483647.0
#endif

/* Framing for callers that transform blocks of frames themselves: the
 * square-root window of an N-point frame and room for QM_FRAME_BLOCK packed
 * frames, as qm_STFT uses them. Frames are handled QM_FRAME_BLOCK at a time
 * so that spectrogram rows are read and written in runs of neighbouring
 * values. A packed frame j of blk starts at blk + j * ld: its real half, then
 * its imaginary half io values further. */
enum { QM_FRAME_BLOCK = 32 };

typedef struct qm_stft_work {
    int N; /* FFT size, a power of two >= 2 */
    vDSP_Length log2n;
    double *g;   /* N values of the square-root window */
    double *blk; /* QM_FRAME_BLOCK packed frames, ld values apart */
    size_t ld;   /* frame stride in blk: N plus a pad */
    size_t io;   /* offset of a frame's imaginary half: N/2 plus a pad */
} qm_stft_work;

/* takes the scratch and builds the window; -1 when memory is short (w is
 * then empty, and qm_stft_work_free may still be called) */
int qm_stft_work_init(qm_stft_work *w, int N);
void qm_stft_work_free(qm_stft_work *w);
/* run(first) on the calling thread and run(second) (unless NULL) on a thread
 * of its own, or after it when no thread can be had; returns once both are done */
void qm_run_pair(void *(*run)(void *), void *first, void *second);

/* re, im ((N/2+1) x numFrames) = DFT of each sqrt-Blackman-windowed frame of
 * N samples, frames hop apart; x holds (numFrames-1)*hop + N samples. The setup
 * serves 2^k points for some 2^k >= N; im is exactly 0 in rows 0 and N/2.
 * Returns 0 (numFrames <= 0 writes nothing), or -1 with the outputs untouched
 * when N is not a power of two >= 2, hop < 0, setup is NULL or scratch could
 * not be had. */
int qm_STFT(FFTSetupD setup, const double *x, int N, int numFrames, int hop, double *re,
            double *im);
/* out += windowed overlap-add of the inverse DFT of each column; out holds
 * (numFrames-1)*hop + N samples. im of rows 0 and N/2 is never read.
 * Returns 0, or -1 (out untouched) as for qm_STFT. */
int qm_ISTFT(FFTSetupD setup, const double *re, const double *im, int N, int numFrames, int hop,
             double *out);
/* out += ISTFT(X * mask / (model + 0.1)), all rows x cols, rows = N/2 + 1.
 * Takes no spectrogram-sized scratch. Returns 0, or -1 (out untouched) when
 * rows is not N/2 + 1 or as for qm_ISTFT. */
int qm_wienerResynth(const double *mask, const double *model, const double *re, const double *im,
                     int rows, int cols, FFTSetupD setup, int N, int hop, double *out);
/* The same for two channels through one mask and model: outL += ISTFT(XL *
 * gain), and outR += ISTFT(XR * gain) unless outR is NULL, the second channel
 * on a thread of its own when one can be had (the same samples either way).
 * Returns 0, or -1 with both outputs untouched. */
int qm_wienerResynth2(const double *mask, const double *model, const double *reL, const double *imL,
                      const double *reR, const double *imR, int rows, int cols, FFTSetupD setup,
                      int N, int hop, double *outL, double *outR);

/* sum((i+1) v[i]) / sum(v[i]): centroid in bins counted from 1 */
double qm_spectralCentroid(const double *v, int n);
/* m4 / m2^2 with population moments (3 is not subtracted); NaN for n <= 0 */
double qm_kurtosis(const double *x, int n);
/* out[f] (N values) = RMS of x[f*hop .. f*hop + L - 1]; no scratch;
 * a negative L or hop writes nothing */
void qm_RMS(const double *x, int L, int N, int hop, double *out);

double qm_freq2mel(double f);
double qm_mel2freq(double m);
/* filterbank (numFilters x numBins) of triangles between mel-spaced edges and
 * DCT matrix (numCeps x numFilters); bins run from 0 Hz to sr/2 inclusive and
 * maxFreq is clamped to sr/2. Writes nothing unless numBins >= 2, numFilters
 * >= 1, numCeps >= 1, all values finite, sr > 0 and 0 <= minFreq < maxFreq. */
void qm_initMFCC(int numCeps, int numFilters, double sr, int numBins, double minFreq,
                 double maxFreq, double *filterbank, double *dct);
/* mfcc (numCeps x numFrames) = dct . log(filterbank . spectrogram), the
 * spectrogram numBins x numFrames; no floor before the log. Writes nothing if a count is < 1 or the
 * scratch (numFilters x numFrames) could not be had. */
void qm_MFCC(const double *spectrogram, const double *filterbank, const double *dct, int numBins,
             int numFrames, int numCeps, int numFilters, double *mfcc);

/* out += ISTFT(mag * (u1 + i u2)), u1 then u2 drawn from rand() in storage
 * order (2 * rows * cols draws, each / 2147483647.0); rows = N/2 + 1. On
 * scratch failure or arguments refused as for qm_wienerResynth nothing is
 * drawn or added. */
void qm_noiseResynth(const double *mag, int rows, int cols, FFTSetupD setup, int N, int hop,
                     double *out);

/* Sound files (16-bit linear PCM). Status 0 on success, negative on failure;
 * messages go to stdout. The channel arrays are malloc'ed for the caller. */
int qm_wavreadOSX(const char *path, double **left, double **right, int *numFrames,
                  AudioStreamBasicDescription *format);
int qm_wavreadOSX_Seek(const char *path, double **left, double **right, int *numFrames,
                       AudioStreamBasicDescription *format, float segDur, int reset,
                       double maxLength);
int qm_wavwriteOSX(const char *path, double *left, double *right, int numFrames,
                   AudioStreamBasicDescription format);
int qm_wavwriteOSX_Seek(const char *path, double *left, double *right, int numFrames,
                        AudioStreamBasicDescription format, float segDur, int first);

#ifdef __cplusplus
}
#endif

#endif
