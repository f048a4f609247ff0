/* The order of the streamed pipeline's components: a key per component,
 * the largest first. */
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "kv_engine_private.h"

#define KVE_SILENT (-INFINITY)

void kve_shownBasis(const kve_streamShape *s, const double *W, int K, int k, double *w)
{
    memset(w, 0, (size_t)s->bins * sizeof *w);
    for (int r = 0; r < s->rows; r++) w[r % s->bins] += W[(size_t)r * K + k];
}

double kve_componentEnergy(const kve_streamShape *s, const double *W, const double *H, int K, int k)
{
    const size_t T = (size_t)s->frames;
    double ww = 0.0, hh = 0.0;
    for (size_t r = 0; r < (size_t)s->rows; r++) ww += W[r * K + k] * W[r * K + k];
    for (size_t t = 0; t < T; t++) hh += H[k * T + t] * H[k * T + t];
    return ww * hh;
}

/* the first index of the largest value */
static size_t kve_argMax(const double *v, size_t n)
{
    size_t best = 0;
    for (size_t i = 1; i < n; i++)
        if (v[best] < v[i]) best = i;
    return best;
}

static double kve_centroidKey(const double *w, int bins)
{
    const double c = qm_spectralCentroid(w, bins);
    return isfinite(c) ? c : -1.0;
}

static double kve_peakKey(const double *w, int bins)
{
    if (bins < 1) return KVE_SILENT;
    const size_t top = kve_argMax(w, (size_t)bins);
    return w[top] > 0 ? (double)top : KVE_SILENT;
}

static double kve_onsetKey(const kve_streamShape *s, const double *H, int k)
{
    const size_t T = (size_t)s->frames;
    const double *h = H + k * T;
    const double top = T ? h[kve_argMax(h, T)] : 0.0;
    if (!(top > 0) || !isfinite(top)) return KVE_SILENT;
    size_t t = 0;
    while (h[t] < top / 2) t++;
    return -(double)t;
}

kve_status kve_orderKeys(const kve_streamShape *s, const double *W, const double *H, int K,
                         kve_order how, double *key)
{
    if (!s || !W || !H || !key || K < 1 || s->bins < 1) return KVE_BAD_ARGUMENT;
    double *w = malloc((size_t)s->bins * sizeof *w);
    if (!w) return KVE_NO_MEMORY;
    for (int k = 0; k < K; k++) {
        double v;
        if (how == KVE_BY_ENERGY) {
            v = kve_componentEnergy(s, W, H, K, k);
        } else if (how == KVE_BY_ONSET) {
            v = kve_onsetKey(s, H, k);
        } else {
            kve_shownBasis(s, W, K, k, w);
            v = how == KVE_BY_PEAK ? kve_peakKey(w, s->bins) : kve_centroidKey(w, s->bins);
        }
        key[k] = isnan(v) ? KVE_SILENT : v;
    }
    free(w);
    return KVE_OK;
}

/* order[from ..] by descending key, equal keys kept in place (insertion) */
static void kve_stableByKey(int *order, int from, int K, const double *key)
{
    for (int i = from + 1; i < K; i++) {
        const int x = order[i];
        int j = i;
        for (; j > from && key[x] > key[order[j - 1]]; j--) order[j] = order[j - 1];
        order[j] = x;
    }
}

kve_status kve_componentOrder(const kve_streamShape *s, const double *W, const double *H, int K,
                              int from, kve_order how, int *order)
{
    if (!s || !W || !H || !order || K < 1 || from < 0) return KVE_BAD_ARGUMENT;
    for (int k = 0; k < K; k++) order[k] = k;
    if (from >= K) return KVE_OK;
    double *key = malloc((size_t)K * sizeof *key);
    kve_status st = key ? kve_orderKeys(s, W, H, K, how, key) : KVE_NO_MEMORY;
    if (st == KVE_OK) kve_stableByKey(order, from, K, key);
    free(key);
    return st;
}

kve_status kve_orderComponents(const kve_streamShape *s, double *W, double *H, int K, int from,
                               kve_order how)
{
    if (!s || !W || !H || K < 1 || from < 0) return KVE_BAD_ARGUMENT;
    if (from >= K) return KVE_OK;
    const size_t rows = (size_t)s->rows, T = (size_t)s->frames;
    int *order = malloc((size_t)K * sizeof *order);
    double *W0 = malloc(rows * (size_t)K * sizeof *W0);
    double *H0 = malloc((size_t)K * T * sizeof *H0 + 1);
    kve_status st =
        order && W0 && H0 ? kve_componentOrder(s, W, H, K, from, how, order) : KVE_NO_MEMORY;
    if (st == KVE_OK) {
        memcpy(W0, W, rows * (size_t)K * sizeof *W0);
        memcpy(H0, H, (size_t)K * T * sizeof *H0);
        for (int j = from; j < K; j++) {
            const int k = order[j];
            for (size_t r = 0; r < rows; r++) W[r * K + j] = W0[r * K + k];
            memcpy(H + j * T, H0 + k * T, T * sizeof *H);
        }
    }
    free(order);
    free(W0);
    free(H0);
    return st;
}
