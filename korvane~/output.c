/* "decomp" and "decompNoOut": checks, the STFT when stale, the factorisation,
 * and for "decomp" every activation and every basis as a list. */
#include <limits.h>
#include <math.h>
#include <stdlib.h>

#include "qm_matrixOps.h"
#include "korvane_private.h"

/* 0 when a fresh factorisation of the loaded sound is in the record */
static int kv_decompose(t_korvane *x)
{
    if (x->K == 0) {
        object_error(NULL, "Factorization error: 0 components selected.");
        return -1;
    }
    if (x->K < 0) {
        object_error(NULL, "Factorization error: negative number of components selected.");
        return -1;
    }
    if (x->K > INT_MAX) {
        object_error(NULL, "Factorization error: too many components selected.");
        return -1;
    }
    if (!x->fileLoaded) {
        object_error(NULL, "Factorization error: no file was loaded");
        return -1;
    }
    if (!x->stftValid && kv_computeSTFT(x) != 0) return -1;
    return kv_factorize(x);
}

void kv_sendLists(t_korvane *x)
{
    int K = x->factK, bins = (int)x->numBins, frames = (int)x->numFrames;
    if (!x->W || !x->H || !x->baseOrder || !x->actOrder) return;

    int longest = bins > frames ? bins : frames;
    double *v = kv_malloc((size_t)longest * sizeof(double));
    t_atom *atoms = kv_malloc((size_t)longest * sizeof(t_atom));
    if (!v || !atoms) {
        free(v);
        free(atoms);
        object_error(NULL, "Factorization error: out of memory.");
        return;
    }
    /* take the orders: a list sent back through a cord may reach the object */
    vDSP_Length *actOrder = x->actOrder, *baseOrder = x->baseOrder;
    const double *W = x->W, *H = x->H;
    x->actOrder = x->baseOrder = NULL;

    for (int i = 0; i < K; i++) {
        qm_getRow(H, frames, actOrder[i], v);
        for (int t = 0; t < frames; t++) atom_setfloat(&atoms[t], v[t]);
        outlet_list(x->actOutlet, NULL, (short)frames, atoms);
    }
    for (int i = 0; i < K; i++) {
        qm_getCol(W, bins, K, baseOrder[i], v);
        for (int b = 0; b < bins; b++) atom_setfloat(&atoms[b], -log(1.0 + v[b]));
        outlet_list(x->baseOutlet, NULL, (short)bins, atoms);
    }
    free(v);
    free(atoms);
    free(actOrder);
    free(baseOrder);
}

static void kv_decompDeferred(t_korvane *x, t_symbol *s, short argc, t_atom *argv)
{
    (void)argc;
    (void)argv;
    (void)s;
    if (kv_decompose(x) == 0) kv_sendLists(x);
}

static void kv_decompNoOutDeferred(t_korvane *x, t_symbol *s, short argc, t_atom *argv)
{
    (void)argc;
    (void)argv;
    (void)s;
    kv_decompose(x);
}

/* the whole handler runs on the main thread, so the lists always follow
 * the factorisation they come from */
void korvane_decomp(t_korvane *x, t_symbol *s)
{
    defer(x, KV_METHOD(kv_decompDeferred), s, 0, NULL);
}

void korvane_decompNoOut(t_korvane *x, t_symbol *s)
{
    defer(x, KV_METHOD(kv_decompNoOutDeferred), s, 0, NULL);
}
