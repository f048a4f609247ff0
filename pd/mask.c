/* Mask layering and resynthesis: an activation on inlet 1, then a basis on
 * inlet 2 (in the -log(1 + w) form of the basis outlet) adds their outer
 * product to the mask; a bang on inlet 2 resynthesises through it. */
#include <stdio.h>
#include <stdlib.h>

#include "korvane_pd.h"

void kv_actListIn(t_korvane *x, int argc, t_atom *argv)
{
    long n = argc > 0 ? argc : 0;
    double *a = kve_malloc((size_t)n * sizeof(double));
    if (!a) {
        kv_error(x, "Mask error: out of memory");
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

void kv_baseListIn(t_korvane *x, int argc, t_atom *argv)
{
    if (x->job.running) {
        kv_error(x, "Mask error: a decomposition is running");
        return;
    }
    long n = argc > 0 ? argc : 0;
    double *w = kve_malloc((size_t)n * sizeof(double));
    if (!w) {
        kv_error(x, "Mask error: out of memory");
        return;
    }
    for (long i = 0; i < n; i++) w[i] = atom_getfloat(&argv[i]);
    kve_decodeBasis(w, n, w);
    free(x->baseList);
    x->baseList = w;
    x->baseCount = n;

    if (n != x->eng.numBins) {
        kv_error(x, "Error: %li base elements read, %li expected.\n", n, (long)x->eng.numBins);
        x->baseLenError = true;
        return;
    }
    if (!x->baseLenError) kv_addOneMaskLayer(x);
}

void kv_addOneMaskLayer(t_korvane *x)
{
    if (!x->eng.fileLoaded) {
        kv_error(x, "Mask error: no file was loaded");
        return;
    }
    if (!x->actList || !x->baseList || !x->eng.mask) return;
    kve_status st = kve_addLayer(&x->eng, x->baseList, x->baseCount, x->actList, x->actCount);
    if (st == KVE_NOT_FINITE) {
        kv_error(x, "Mask error: activation or basis is not finite");
        return;
    }
    if (st != KVE_OK) return;
    KVE_RELEASE(x->actList);
    KVE_RELEASE(x->baseList);
    x->actCount = x->baseCount = 0;
}

void kv_doResynth(t_korvane *x)
{
    kve_engine *e = &x->eng;
    if (!e->fileLoaded) {
        kv_error(x, "Resynthesis error: no file was loaded");
        return;
    }
    if (!e->decompValid || !e->W || !e->H || !e->mask) {
        kv_error(x, "Resynthesis error: no decomposition of the loaded sound");
        return;
    }
    /* the Max host's buffer names are shorter than 256 bytes */
    char name[256];
    int len = snprintf(name, sizeof name, "%s_out", x->inName->s_name);
    if (len < 0 || (size_t)len >= sizeof name) {
        kv_error(x, "Resynthesis error: buffer name too long");
        return;
    }
    kve_status st = kve_resynthesise(e);
    if (st != KVE_OK) {
        kv_error(x, st == KVE_NOT_FINITE ? "Resynthesis error: result is not finite"
                                         : "Resynthesis error: out of memory");
        return;
    }
    char bad[MAXPDSTRING];
    if (kv_writeOutput(x, bad, sizeof bad) != 0) {
        kve_dropOutput(e);
        kv_error(x, "Resynthesis error: cannot write to buffer %s", bad);
        return;
    }
    /* the composition is consumed only once it has been written; the next
     * layer starts the mask afresh */
    kve_clearMask(e);
    outlet_bang(x->doneOutlet);
}
