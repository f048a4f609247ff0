/* The lists of a factorisation: every activation, then every basis as
 * -log(1 + w), brightest component first. */
#include <stdlib.h>

#include "korvane_private.h"

void kv_sendLists(t_korvane *x)
{
    const kve_engine *e = &x->eng;
    int K = e->factK, bins = (int)e->numBins, frames = (int)e->numFrames;
    if (!e->W || !e->H || !e->order) return;

    int longest = bins > frames ? bins : frames;
    double *v = kve_malloc((size_t)longest * sizeof(double));
    t_atom *atoms = kve_malloc((size_t)longest * sizeof(t_atom));
    if (!v || !atoms) {
        free(v);
        free(atoms);
        object_error(NULL, "Factorization error: out of memory.");
        return;
    }
    for (int i = 0; i < K; i++) {
        kve_activation(e, (int)e->order[i], v);
        for (int t = 0; t < frames; t++) atom_setfloat(&atoms[t], v[t]);
        outlet_list(x->actOutlet, NULL, (short)frames, atoms);
    }
    for (int i = 0; i < K; i++) {
        kve_basis(e, (int)e->order[i], v);
        kve_encodeBasis(v, bins, v);
        for (int b = 0; b < bins; b++) atom_setfloat(&atoms[b], v[b]);
        outlet_list(x->baseOutlet, NULL, (short)bins, atoms);
    }
    free(v);
    free(atoms);
}
