/* Resynthesis: each channel's STFT through mask / (W.H + 0.1), scaled below
 * clipping, into the buffer~ named after the input with "_out" appended. */
#include <float.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qm_audio.h"
#include "korvane_private.h"

void kv_dropOutput(t_korvane *x)
{
    free(x->outL);
    free(x->outR);
    x->outL = x->outR = NULL;
    x->outLength = 0;
}

void kv_dropModel(t_korvane *x)
{
    free(x->model);
    x->model = NULL;
}

/* zeroed output channels of n samples; those of the last bang are reused, so
 * that their pages are not faulted in and cleared again on every bang */
static bool kv_takeOutput(t_korvane *x, int n, bool stereo)
{
    if (x->outLength != n || !x->outL || (stereo && !x->outR)) {
        kv_dropOutput(x);
        x->outL = kv_malloc((size_t)n * sizeof(double));
        x->outR = stereo && x->outL ? kv_malloc((size_t)n * sizeof(double)) : NULL;
        if (!x->outL || (stereo && !x->outR)) {
            kv_dropOutput(x);
            return false;
        }
        x->outLength = n;
    }
    memset(x->outL, 0, (size_t)n * sizeof(double));
    if (stereo) memset(x->outR, 0, (size_t)n * sizeof(double));
    return true;
}

/* the largest magnitude in v, checking in the same pass that every value is
 * finite; false when one is not */
static bool kv_finitePeak(const double *v, int n, double *peak)
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

/* the output buffer~ with room for two channels of n frames, locked; NULL
 * when it cannot be had */
static float *kv_lockOutput(t_korvane *x, int n, t_buffer_obj **bufOut)
{
    t_buffer_ref *ref = buffer_ref_new((t_object *)x, x->outBufName);
    if (x->outBufRef) object_free(x->outBufRef);
    x->outBufRef = ref;
    t_buffer_obj *b = ref ? buffer_ref_getobject(ref) : NULL;
    if (!b) return NULL;
    if (buffer_getchannelcount(b) != 2 || buffer_getframecount(b) < n) {
        if (buffer_resize(b, 2, n) != MAX_ERR_NONE) return NULL;
        if (buffer_getchannelcount(b) != 2 || buffer_getframecount(b) < n) return NULL;
    }
    *bufOut = b;
    return buffer_locksamples(b);
}

void kv_doResynth(t_korvane *x)
{
    if (!x->fileLoaded) {
        object_error(NULL, "Resynthesis error: no file was loaded");
        return;
    }
    if (!x->decompValid || !x->W || !x->H || !x->mask) {
        object_error(NULL, "Resynthesis error: no decomposition of the loaded sound");
        return;
    }
    char name[256];
    int len = snprintf(name, sizeof name, "%s_out", x->inBufName->s_name);
    if (len < 0 || (size_t)len >= sizeof name) {
        object_error(NULL, "Resynthesis error: buffer name too long");
        return;
    }

    int bins = (int)x->numBins, frames = (int)x->numFrames, n = x->numSamples;
    bool stereo = x->numChannels > 1;
    size_t cells = (size_t)bins * (size_t)frames;
    /* the model depends on W and H only, so one product serves every bang
     * until they change */
    if (!x->model) {
        x->model = kv_malloc(cells * sizeof(double));
        if (x->model)
            vDSP_mmulD(x->W, 1, x->H, 1, x->model, 1, (vDSP_Length)bins,
                       (vDSP_Length)frames, (vDSP_Length)x->factK);
    }
    bool ok = x->model && kv_takeOutput(x, n, stereo);
    if (ok)
        ok = qm_wienerResynth2(x->mask, x->model, x->stftReL, x->stftImL, x->stftReR,
                               x->stftImR, bins, frames, x->fftSetup, x->fftSize,
                               x->hopSize, x->outL, stereo ? x->outR : NULL) == 0;
    if (!ok) {
        /* memory is short: give back all that a bang holds */
        kv_dropOutput(x);
        kv_dropModel(x);
        object_error(NULL, "Resynthesis error: out of memory");
        return;
    }
    double peakL = 0.0, peakR = 0.0;
    if (!kv_finitePeak(x->outL, n, &peakL) || (stereo && !kv_finitePeak(x->outR, n, &peakR))) {
        kv_dropOutput(x);
        object_error(NULL, "Resynthesis error: result is not finite");
        return;
    }

    /* one factor for both channels keeps their balance */
    double peak = peakL > peakR ? peakL : peakR;
    if (peak >= 1.0) {
        double g = 0.999;
        vDSP_vsdivD(x->outL, 1, &peak, x->outL, 1, (vDSP_Length)n);
        vDSP_vsmulD(x->outL, 1, &g, x->outL, 1, (vDSP_Length)n);
        if (stereo) {
            vDSP_vsdivD(x->outR, 1, &peak, x->outR, 1, (vDSP_Length)n);
            vDSP_vsmulD(x->outR, 1, &g, x->outR, 1, (vDSP_Length)n);
        }
    }

    x->outBufName = gensym(name);
    t_buffer_obj *b = NULL;
    float *samples = kv_lockOutput(x, n, &b);
    if (!samples) {
        kv_dropOutput(x);
        object_error(NULL, "Resynthesis error: cannot write to buffer %s", name);
        return;
    }
    const double *right = stereo ? x->outR : x->outL;
    for (int i = 0; i < n; i++) {
        samples[2 * (size_t)i] = (float)x->outL[i];
        samples[2 * (size_t)i + 1] = (float)right[i];
    }
    buffer_unlocksamples(b);
    buffer_setdirty(b);

    /* the composition is consumed only once it has been written; the next
     * layer starts the mask afresh */
    x->maskEmpty = true;
    outlet_bang(x->doneOutlet);
}

static void kv_bangDeferred(t_korvane *x, t_symbol *s, short argc, t_atom *argv)
{
    (void)s;
    (void)argc;
    (void)argv;
    if (!x->maskEmpty) kv_doResynth(x);
}

void korvane_bangIn(t_korvane *x)
{
    if (proxy_getinlet((t_object *)x) != 2) return;
    defer(x, KV_METHOD(kv_bangDeferred), NULL, 0, NULL);
}
