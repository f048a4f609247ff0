/* Resynthesis: each channel's STFT through mask / (W.H + floor), scaled
 * below clipping. */
#include <float.h>
#include <math.h>
#include <stdbool.h>
#include <string.h>

#include "kv_engine_private.h"

/* zeroed output channels of n samples; those of the last call are reused,
 * so that their pages are not faulted in and cleared again every time */
static bool kve_takeOutput(kve_engine *e, int n, bool stereo)
{
    if (e->outLength != n || !e->outL || (stereo && !e->outR)) {
        kve_dropOutput(e);
        e->outL = kve_malloc((size_t)n * sizeof(double));
        e->outR = stereo && e->outL ? kve_malloc((size_t)n * sizeof(double)) : NULL;
        if (!e->outL || (stereo && !e->outR)) {
            kve_dropOutput(e);
            return false;
        }
        e->outLength = n;
    }
    memset(e->outL, 0, (size_t)n * sizeof(double));
    if (stereo) memset(e->outR, 0, (size_t)n * sizeof(double));
    return true;
}

/* the largest magnitude in v, checking in the same pass that every value is
 * finite; false when one is not */
static bool kve_finitePeak(const double *v, int n, double *peak)
{
    double m = 0.0;
    bool finite = true;
    for (int i = 0; i < n; i++) {
        double a = fabs(v[i]);
        finite &= a <= DBL_MAX;
        m = a > m ? a : m;
    }
    *peak = m;
    return finite;
}

/* the model depends on W and H only, so one product serves every call until
 * they change */
static bool kve_takeModel(kve_engine *e)
{
    if (e->model) return true;
    size_t cells = (size_t)e->numBins * (size_t)e->numFrames;
    e->model = kve_malloc(cells * sizeof(double));
    if (!e->model) return false;
    vDSP_mmulD(e->W, 1, e->H, 1, e->model, 1, (vDSP_Length)e->numBins, (vDSP_Length)e->numFrames,
               (vDSP_Length)e->factK);
    return true;
}

/* one factor for both channels keeps their balance */
static void kve_keepBelowClipping(kve_engine *e, double peak, bool stereo)
{
    if (peak < 1.0) return;
    double g = QM_CLIP_GAIN;
    vDSP_Length n = (vDSP_Length)e->outLength;
    vDSP_vsdivD(e->outL, 1, &peak, e->outL, 1, n);
    vDSP_vsmulD(e->outL, 1, &g, e->outL, 1, n);
    if (stereo) {
        vDSP_vsdivD(e->outR, 1, &peak, e->outR, 1, n);
        vDSP_vsmulD(e->outR, 1, &g, e->outR, 1, n);
    }
}

kve_status kve_resynthesise(kve_engine *e)
{
    if (!e->fileLoaded) return KVE_NO_SOUND;
    if (!e->decompValid || !e->W || !e->H || !e->mask) return KVE_NO_FACTORS;
    int n = e->numSamples;
    bool stereo = e->numChannels > 1;
    bool ok = kve_takeModel(e) && kve_takeOutput(e, n, stereo);
    if (ok)
        ok = qm_wienerResynth2(e->mask, e->model, e->stftReL, e->stftImL, e->stftReR, e->stftImR,
                               (int)e->numBins, (int)e->numFrames, (FFTSetupD)e->fftSetup,
                               e->fftSize, e->hopSize, e->outL, stereo ? e->outR : NULL) == 0;
    if (!ok) {
        /* memory is short: give back all that a resynthesis holds */
        kve_dropOutput(e);
        kve_dropModel(e);
        return KVE_NO_MEMORY;
    }
    double peakL = 0.0, peakR = 0.0;
    if (!kve_finitePeak(e->outL, n, &peakL) || (stereo && !kve_finitePeak(e->outR, n, &peakR))) {
        kve_dropOutput(e);
        return KVE_NOT_FINITE;
    }
    kve_keepBelowClipping(e, peakL > peakR ? peakL : peakR, stereo);
    return KVE_OK;
}
