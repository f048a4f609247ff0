/* Mask layering: an activation on inlet 1, then a basis on inlet 2 (in the
 * -log(1 + w) form of the basis outlet) adds their outer product to the mask. */
#include <limits.h>
#include <stdlib.h>

#include "korvane_private.h"

void kv_actListIn(t_korvane *x, t_symbol *s, short argc, t_atom *argv)
{
    (void)s;
    long n = argc > 0 ? argc : 0;
    double *a = kve_malloc((size_t)n * sizeof(double));
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
    double *w = kve_malloc((size_t)n * sizeof(double));
    if (!w) {
        object_error(NULL, "Mask error: out of memory");
        return;
    }
    for (long i = 0; i < n; i++) w[i] = atom_getfloat(&argv[i]);
    kve_decodeBasis(w, n, w);
    free(x->baseList);
    x->baseList = w;
    x->baseCount = n;

    if (n != x->eng.numBins) {
        object_error(NULL, "Error: %li base elements read, %li expected.\n", n,
                     (long)x->eng.numBins);
        x->baseLenError = true;
        return;
    }
    if (!x->baseLenError) kv_addOneMaskLayer(x);
}

void kv_addOneMaskLayer(t_korvane *x)
{
    if (!x->eng.fileLoaded) {
        object_error(NULL, "Mask error: no file was loaded");
        return;
    }
    if (!x->actList || !x->baseList || !x->eng.mask) return;
    kve_status st = kve_addLayer(&x->eng, x->baseList, x->baseCount, x->actList, x->actCount);
    if (st == KVE_NOT_FINITE) {
        object_error(NULL, "Mask error: activation or basis is not finite");
        return;
    }
    if (st != KVE_OK) return;
    KVE_RELEASE(x->actList);
    KVE_RELEASE(x->baseList);
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
                         (long)x->eng.numBins);
            defer(x, KV_METHOD(kv_baseTooLongDeferred), s, 0, NULL);
            return;
        }
        defer(x, KV_METHOD(kv_baseDeferred), s, (short)argc, argv);
    }
}
