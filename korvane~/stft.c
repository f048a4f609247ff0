/* STFT stage: FFT size, hop and frame count from the settings, then the
 * spectrogram of channel 0 and, for two or more channels, of channel 1. */
#include <math.h>
#include <stdlib.h>

#include "qm_audio.h"
#include "korvane_private.h"

static void kv_discard(double **p)
{
    free(*p);
    *p = NULL;
}

int kv_computeSTFT(t_korvane *x)
{
    /* Everything is derived in double precision first, so that no value is
     * converted to an integer before it is known to fit. */
    double n = round((double)x->winLength * x->sr);
    double fft = 0.0;
    if (isfinite(n) && n >= 1.0) fft = pow(2.0, ceil(log2(n)));
    if (!isfinite(fft)) fft = 0.0;

    float hopFraction = 1.0f - x->overlap;   /* single precision, as set */
    double hop = 0.0;
    if (fft > 0.0 && fft <= 0x1p100)   /* within float range; far above any limit */
        hop = round((double)((float)fft * hopFraction));
    else if (fft > 0.0)
        hop = round(fft * hopFraction);
    if (!isfinite(hop)) hop = 0.0;

    double frames = 0.0;
    if (hop >= 1.0) {
        double q = floor((double)x->numSamples / hop);
        frames = q - round((double)(1.0f / hopFraction));
        /* no frame may end past the last sample */
        double fit = floor(((double)x->numSamples - fft) / hop) + 1.0;
        if (frames > fit) frames = fit;
        if (!isfinite(frames)) frames = 0.0;
    }
    double bins = fft > 0.0 ? floor(fft / 2.0) + 1.0 : 0.0;

    object_post(NULL, "winlength = %f, FFTsize = %.0f, hop = %.0f, frames = %.0f",
                (double)x->winLength, fft, hop, frames);

    if (!isfinite(x->winLength) || !isfinite(x->sr) || !(n >= 2.0)) {
        object_error(NULL, "Error: window will be shorter than 2 samples. Try one of the following:");
        object_error(NULL, "Increase window length, check the sampling rate of the buffer.");
        return -1;
    }
    if (!(hop >= 1.0)) {
        object_error(NULL, "Error: hop will be shorter than 1 sample. Try one of the following:");
        object_error(NULL, "Increase hop, increase window length.");
        return -1;
    }
    if (!(frames >= 1.0)) {
        object_error(NULL, "Error: sound is too short for this window. Try one of the following:");
        object_error(NULL, "Load a longer sound, reduce window length.");
        return -1;
    }
    if (frames > maxActSize) {
        object_error(NULL, "Error: activations will exceed maximum length. Try one of the following:");
        object_error(NULL, "Reduce file length, increase window length, increase hop.");
        return -1;
    }
    if (bins > maxBaseSize) {
        object_error(NULL, "Error: bases will exceed maximum length. Try one of the following:");
        object_error(NULL, "Reduce window length, reduce sampling rate.");
        return -1;
    }

    /* the limits above keep every count and product within 32 bits */
    int N = (int)fft, nHop = (int)hop, nFrames = (int)frames, nBins = (int)bins;
    size_t cells = (size_t)nBins * (size_t)nFrames;
    bool stereo = x->numChannels > 1;
    double *reL = kv_malloc(cells * sizeof(double));
    double *imL = kv_malloc(cells * sizeof(double));
    double *reR = stereo ? kv_malloc(cells * sizeof(double)) : NULL;
    double *imR = stereo ? kv_malloc(cells * sizeof(double)) : NULL;
    FFTSetupD setup = NULL;
    bool ok = reL && imL && (!stereo || (reR && imR));
    if (ok) {
        setup = vDSP_create_fftsetupD((vDSP_Length)log2((double)N), kFFTRadix2);
        ok = setup != NULL;
    }
    if (ok) ok = qm_STFT(setup, x->sigL, N, nFrames, nHop, reL, imL) == 0;
    if (ok && stereo) ok = qm_STFT(setup, x->sigR, N, nFrames, nHop, reR, imR) == 0;
    if (!ok) {
        free(reL);
        free(imL);
        free(reR);
        free(imR);
        if (setup) vDSP_destroy_fftsetupD(setup);
        object_error(NULL, "Error: out of memory.");
        return -1;
    }

    /* commit the new analysis as a whole; the factors made from the old one
     * are discarded with it, and a mask of another shape with them */
    kv_discard(&x->stftReL);
    kv_discard(&x->stftImL);
    kv_discard(&x->stftReR);
    kv_discard(&x->stftImR);
    kv_discard(&x->W);
    kv_discard(&x->H);
    kv_dropModel(x);
    x->decompValid = false;
    if (x->mask && (x->numBins != nBins || x->numFrames != nFrames))
        kv_discard(&x->mask);
    x->stftReL = reL;
    x->stftImL = imL;
    x->stftReR = reR;
    x->stftImR = imR;
    if (x->fftSetup) vDSP_destroy_fftsetupD(x->fftSetup);
    x->fftSetup = setup;
    x->fftSize = N;
    FFTSize = N;
    x->hopSize = nHop;
    x->numBins = nBins;
    x->numFrames = nFrames;
    x->stftValid = true;

    object_post(NULL, "STFT computed");
    return 0;
}
