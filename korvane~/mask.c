/* Mask layering: an activation on inlet 1, then a basis on inlet 2 (in the
 * -log(1 + w) form of the basis outlet) adds their outer product to the mask. */
#include <limits.h>
#include <math.h>
#include <stdlib.h>

#include "korvane_private.h"

void kv_actListIn(t_korvane *x, t_symbol *s, short argc, t_atom *argv)
{
    (void)s;
    long n = argc > 0 ? argc : 0;
    double *a = kv_malloc((size_t)n * sizeof(double));
    if (!a) {
        object_error(NULL, "Mask error: out of memory");
        return;
    }
    for (long i = 0; i < n; i++) {
        a[i] = atom_getfloat(&argv[i]);
        if (a[i] < 0.0) a[i] = 0.0;
    }
    free(x->actList);
    x->actList = a;
    x->actCount = n;
    x->baseLenError = false;
}

void kv_baseListIn(t_korvane *x, t_symbol *s, short argc, t_atom *argv)
{
    (void)s;
    long n = argc > 0 ? argc : 0;
    double *w = kv_malloc((size_t)n * sizeof(double));
    if (!w) {
        object_error(NULL, "Mask error: out of memory");
        return;
    }
    for (long i = 0; i < n; i++) w[i] = exp(-atom_getfloat(&argv[i])) - 1.0;
    free(x->baseList);
    x->baseList = w;
    x->baseCount = n;

    if (n != x->numBins) {
        object_error(NULL, "Error: %li base elements read, %li expected.\n", n,
                     (long)x->numBins);
        x->baseLenError = true;
        return;
    }
    for (long i = 0; i < n; i++)
        if (w[i] < 0.0) w[i] = 0.0;
    if (!x->baseLenError) kv_addOneMaskLayer(x);
}

static bool kv_allFinite(const double *v, long n)
{
    for (long i = 0; i < n; i++)
        if (!isfinite(v[i])) return false;
    return true;
}

void kv_addOneMaskLayer(t_korvane *x)
{
    if (!x->fileLoaded) {
        object_error(NULL, "Mask error: no file was loaded");
        return;
    }
    if (!x->actList || !x->baseList || !x->mask) return;
    long bins = (long)x->numBins, frames = (long)x->numFrames;
    if (x->baseCount != bins) return;

    /* values past the end of a short activation count as 0 */
    long used = x->actCount < frames ? x->actCount : frames;
    if (!kv_allFinite(x->actList, used) || !kv_allFinite(x->baseList, bins)) {
        object_error(NULL, "Mask error: activation or basis is not finite");
        return;
    }
    /* an empty mask is not cleared after a resynthesis: its first layer is
     * written over it, as added to zeros */
    for (long b = 0; b < bins; b++) {
        double w = x->baseList[b];
        double *row = x->mask + b * frames;
        if (x->maskEmpty) {
            for (long t = 0; t < used; t++) row[t] = 0.0 + w * x->actList[t];
            for (long t = used; t < frames; t++) row[t] = 0.0;
        } else {
            for (long t = 0; t < used; t++) row[t] += w * x->actList[t];
        }
    }
    x->maskEmpty = false;
    free(x->actList);
    free(x->baseList);
    x->actList = x->baseList = NULL;
    x->actCount = x->baseCount = 0;
}

static void kv_actDeferred(t_korvane *x, t_symbol *s, short argc, t_atom *argv)
{
    kv_actListIn(x, s, argc, argv);
}

static void kv_baseDeferred(t_korvane *x, t_symbol *s, short argc, t_atom *argv)
{
    kv_baseListIn(x, s, argc, argv);
}

static void kv_baseTooLongDeferred(t_korvane *x, t_symbol *s, short argc, t_atom *argv)
{
    (void)s;
    (void)argc;
    (void)argv;
    x->baseLenError = true;
}

void korvane_listIn(t_korvane *x, t_symbol *s, long argc, t_atom *argv)
{
    long inlet = proxy_getinlet((t_object *)x);
    if (inlet == 1) {
        /* defer carries at most SHRT_MAX atoms; activation values past the
         * largest frame count the STFT accepts are never used anyway */
        defer(x, KV_METHOD(kv_actDeferred), s, (short)(argc > SHRT_MAX ? SHRT_MAX : argc), argv);
    } else if (inlet == 2) {
        if (argc > SHRT_MAX) {
            /* longer than any basis can be */
            object_error(NULL, "Error: %li base elements read, %li expected.\n", argc,
                         (long)x->numBins);
            defer(x, KV_METHOD(kv_baseTooLongDeferred), s, 0, NULL);
            return;
        }
        defer(x, KV_METHOD(kv_baseDeferred), s, (short)argc, argv);
    }
}
