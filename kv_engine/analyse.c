/* The analysis: the shape from the settings, the STFT of channel 0 and, for
 * two or more channels, of channel 1, and the magnitude of their sum. */
#include <math.h>
#include <stdlib.h>

#include "kv_engine_private.h"

/* a new analysis, taken whole or not at all */
typedef struct {
    double *reL, *imL, *reR, *imR;
    FFTSetupD setup;
} kve_spectra;

static void kve_spectraFree(kve_spectra *s)
{
    free(s->reL);
    free(s->imL);
    free(s->reR);
    free(s->imR);
    if (s->setup) vDSP_destroy_fftsetupD(s->setup);
}

static kve_status kve_transform(const kve_engine *e, const kve_shape *sh, kve_spectra *s)
{
    size_t cells = (size_t)sh->bins * (size_t)sh->frames;
    bool stereo = e->numChannels > 1;
    s->reL = kve_malloc(cells * sizeof(double));
    s->imL = kve_malloc(cells * sizeof(double));
    s->reR = stereo ? kve_malloc(cells * sizeof(double)) : NULL;
    s->imR = stereo ? kve_malloc(cells * sizeof(double)) : NULL;
    s->setup = NULL;
    bool ok = s->reL && s->imL && (!stereo || (s->reR && s->imR));
    if (ok) {
        s->setup = vDSP_create_fftsetupD((vDSP_Length)log2((double)sh->fftSize), kFFTRadix2);
        ok = s->setup != NULL;
    }
    if (ok) ok = qm_STFT(s->setup, e->sigL, sh->fftSize, sh->frames, sh->hop, s->reL, s->imL) == 0;
    if (ok && stereo)
        ok = qm_STFT(s->setup, e->sigR, sh->fftSize, sh->frames, sh->hop, s->reR, s->imR) == 0;
    return ok ? KVE_OK : KVE_NO_MEMORY;
}

/* the new analysis replaces the old; the factors made from the old one go
 * with it, and a mask of another shape with them */
static void kve_commitAnalysis(kve_engine *e, const kve_shape *sh, kve_spectra *s)
{
    kve_dropAnalysis(e);
    kve_dropFactors(e);
    if (e->mask && (e->numBins != sh->bins || e->numFrames != sh->frames)) KVE_RELEASE(e->mask);
    e->stftReL = s->reL;
    e->stftImL = s->imL;
    e->stftReR = s->reR;
    e->stftImR = s->imR;
    e->fftSetup = s->setup;
    e->fftSize = sh->fftSize;
    e->hopSize = sh->hop;
    e->numBins = sh->bins;
    e->numFrames = sh->frames;
    e->stftValid = true;
}

kve_status kve_analyse(kve_engine *e, kve_shapeDetail *detail)
{
    if (!e->fileLoaded) return KVE_NO_SOUND;
    kve_shapeInput in = {e->settings.window,    e->settings.overlap,   e->sr,
                         (double)e->numSamples, e->settings.maxFrames, e->settings.maxBins};
    kve_shape sh;
    kve_status st = kve_shapeOf(&in, &sh, detail);
    if (st != KVE_OK) return st;
    kve_spectra s;
    st = kve_transform(e, &sh, &s);
    if (st != KVE_OK) {
        kve_spectraFree(&s);
        return st;
    }
    kve_commitAnalysis(e, &sh, &s);
    return KVE_OK;
}

kve_status kve_magnitude(const kve_engine *e, double *V)
{
    if (!e->stftValid || !e->stftReL) return KVE_NO_ANALYSIS;
    size_t cells = (size_t)e->numBins * (size_t)e->numFrames;
    if (e->numChannels < 2 || !e->stftReR || !e->stftImR) {
        vDSP_vdistD(e->stftReL, 1, e->stftImL, 1, V, 1, cells);
        return KVE_OK;
    }
    /* the sums are formed a stretch at a time and never stored whole */
    enum { STRETCH = 2048 };
    double *sum = kve_malloc(2 * STRETCH * sizeof(double));
    if (!sum) return KVE_NO_MEMORY;
    for (size_t i = 0; i < cells; i += STRETCH) {
        vDSP_Length n = cells - i < STRETCH ? cells - i : STRETCH;
        vDSP_vaddD(e->stftReL + i, 1, e->stftReR + i, 1, sum, 1, n);
        vDSP_vaddD(e->stftImL + i, 1, e->stftImR + i, 1, sum + STRETCH, 1, n);
        vDSP_vdistD(sum, 1, sum + STRETCH, 1, V + i, 1, n);
    }
    free(sum);
    return KVE_OK;
}
