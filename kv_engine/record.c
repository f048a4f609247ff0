/* The engine record: defaults, loading a sound, and giving everything back. */
#include <math.h>
#include <string.h>

#include "kv_engine_private.h"

kve_settings kve_defaultSettings(void)
{
    kve_settings s;
    s.window = 0.08f;
    s.overlap = 0.75f;
    s.cost = KVE_KULLBACK_LEIBLER;
    s.iterations = 100;
    s.maxFrames = 10000;
    s.maxBins = 8200;
    return s;
}

void kve_init(kve_engine *e)
{
    memset(e, 0, sizeof *e);
    e->settings = kve_defaultSettings();
}

void kve_dropOutput(kve_engine *e)
{
    KVE_RELEASE(e->outL);
    KVE_RELEASE(e->outR);
    e->outLength = 0;
}

void kve_dropModel(kve_engine *e)
{
    KVE_RELEASE(e->model);
}

void kve_dropAnalysis(kve_engine *e)
{
    KVE_RELEASE(e->stftReL);
    KVE_RELEASE(e->stftImL);
    KVE_RELEASE(e->stftReR);
    KVE_RELEASE(e->stftImR);
    if (e->fftSetup) vDSP_destroy_fftsetupD((FFTSetupD)e->fftSetup);
    e->fftSetup = NULL;
    e->stftValid = false;
}

void kve_dropFactors(kve_engine *e)
{
    KVE_RELEASE(e->W);
    KVE_RELEASE(e->H);
    KVE_RELEASE(e->order);
    kve_dropModel(e);
    e->decompValid = false;
}

void kve_free(kve_engine *e)
{
    kve_dropAnalysis(e);
    kve_dropFactors(e);
    KVE_RELEASE(e->sigL);
    KVE_RELEASE(e->sigR);
    KVE_RELEASE(e->mask);
    kve_dropOutput(e);
}

void kve_settingsChanged(kve_engine *e)
{
    e->stftValid = false;
}

kve_status kve_loadSound(kve_engine *e, const float *samples, int channels, int frames, double rate)
{
    if (channels < 1 || frames < 0) return KVE_NO_SOUND;
    size_t n = (size_t)frames, nch = (size_t)channels;
    double *newL = kve_malloc(n * sizeof(double));
    double *newR = channels > 1 ? kve_malloc(n * sizeof(double)) : NULL;
    kve_status st = newL && (channels < 2 || newR) ? KVE_OK : KVE_NO_MEMORY;
    for (size_t j = 0; st == KVE_OK && j < n; j++) {
        newL[j] = samples[j * nch];
        if (newR) newR[j] = samples[j * nch + 1];
        if (!isfinite(newL[j]) || (newR && !isfinite(newR[j]))) st = KVE_NOT_FINITE;
    }
    if (st != KVE_OK) {
        free(newL);
        free(newR);
        return st;
    }
    /* the record now describes this sound and nothing else */
    free(e->sigL);
    free(e->sigR);
    e->sigL = newL;
    e->sigR = newR;
    kve_dropOutput(e); /* sized for the old sound */
    e->sr = rate;
    e->numChannels = channels;
    e->numSamples = frames;
    e->fileLoaded = true;
    e->stftValid = false;
    e->decompValid = false;
    return KVE_OK;
}
