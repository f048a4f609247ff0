/* The streamed pipeline's components as the front ends show them: the
 * activations scaled to a largest value of 1, the bases taking the scale
 * back, in the list form and read back from it; and the gain that keeps a
 * written sound below full scale. */
#include <math.h>

#include "kv_engine_private.h"

double kve_activationScale(const double *H, int K, long frames)
{
    const size_t n = (size_t)K * (size_t)frames;
    if (!H || K < 1 || frames < 1) return 1.0;
    size_t best = 0;
    for (size_t i = 1; i < n; i++)
        if (H[best] < H[i]) best = i;
    const double top = H[best];
    return top > 0 && isfinite(top) ? top : 1.0; /* a silent sound keeps its zeros */
}

void kve_componentForm(const kve_streamShape *s, double rate, const double *W, const double *H,
                       int K, int k, double scale, double *activation, double *listForm,
                       double *shown, kve_componentInfo *info)
{
    const size_t T = (size_t)s->frames, bins = (size_t)s->bins;
    for (size_t t = 0; t < T; t++) activation[t] = H[k * T + t] / scale;
    double *w = shown; /* the scaled basis, until it is read back */
    kve_shownBasis(s, W, K, k, w);
    size_t peak = 0;
    for (size_t b = 0; b < bins; b++) {
        w[b] *= scale;
        if (w[peak] < w[b]) peak = b;
    }
    kve_encodeBasis(w, (long)bins, listForm);
    kve_decodeBasis(listForm, (long)bins, shown);
    if (!info) return;
    const double binHz = rate / (double)s->N;
    /* the centroid counts bins from 1 */
    info->centroidHz = (qm_spectralCentroid(shown, s->bins) - 1) * binHz;
    info->peakHz = (double)peak * binHz;
}

kve_status kve_energyShares(const kve_streamShape *s, const double *W, const double *H, int K,
                            double *share)
{
    if (!s || !W || !H || !share || K < 1) return KVE_BAD_ARGUMENT;
    double total = 0.0;
    for (int k = 0; k < K; k++) total += share[k] = kve_componentEnergy(s, W, H, K, k);
    for (int k = 0; k < K; k++) share[k] = total > 0 ? share[k] / total : 0.0;
    return KVE_OK;
}

double kve_clipGain(double peak)
{
    return peak > 1.0 ? QM_CLIP_GAIN / peak : 1.0;
}
