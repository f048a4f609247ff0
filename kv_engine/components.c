/* Bases and activations in plain form, and the list form of a basis. */
#include <math.h>

#include "kv_engine_private.h"

void kve_basis(const kve_engine *e, int k, double *w)
{
    qm_getCol(e->W, (int)e->numBins, e->factK, (vDSP_Length)k, w);
}

void kve_activation(const kve_engine *e, int k, double *h)
{
    qm_getRow(e->H, (int)e->numFrames, (vDSP_Length)k, h);
}

void kve_encodeBasis(const double *w, long n, double *v)
{
    for (long i = 0; i < n; i++) v[i] = -log(1.0 + w[i]);
}

void kve_decodeBasis(const double *v, long n, double *w)
{
    for (long i = 0; i < n; i++) {
        w[i] = exp(-v[i]) - 1.0;
        if (w[i] < 0.0) w[i] = 0.0;
    }
}
