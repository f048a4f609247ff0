/* The factorisation of the magnitude spectrogram, the output order by
 * descending spectral centroid, H scaled to a largest value of 1, and an
 * empty mask; all made on the side and committed as a whole. */
#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "kv_engine_private.h"

typedef struct {
    double *W, *H, *mask, *centroids, *column;
    vDSP_Length *order;
} kve_factors;

static void kve_factorsFree(kve_factors *f)
{
    free(f->W);
    free(f->H);
    free(f->mask);
    free(f->centroids);
    free(f->column);
    free(f->order);
    memset(f, 0, sizeof *f);
}

static bool kve_factorsAlloc(kve_factors *f, size_t bins, size_t frames, size_t K)
{
    memset(f, 0, sizeof *f);
    f->W = kve_calloc(bins * K, sizeof(double));
    f->H = kve_calloc(K * frames, sizeof(double));
    f->mask = kve_calloc(bins * frames, sizeof(double));
    f->centroids = kve_malloc(K * sizeof(double));
    f->column = kve_malloc(bins * sizeof(double));
    f->order = kve_malloc(K * sizeof(vDSP_Length));
    return f->W && f->H && f->mask && f->centroids && f->column && f->order;
}

kve_status kve_checkComponents(const kve_engine *e, int K)
{
    if (K < 1) return KVE_BAD_COMPONENTS;
    if (!e->stftValid || !e->stftReL || e->numBins < 1 || e->numFrames < 1) return KVE_NO_ANALYSIS;
    if (K > INT_MAX / e->numBins || K > INT_MAX / e->numFrames) return KVE_TOO_MANY_COMPONENTS;
    return KVE_OK;
}

/* W, H of the magnitude from the start */
static kve_status kve_runNMF(const kve_engine *e, int K, const kve_start *start,
                             kve_progressFn progress, void *user, kve_factors *f)
{
    int bins = (int)e->numBins, frames = (int)e->numFrames;
    double *V = kve_malloc((size_t)bins * (size_t)frames * sizeof(double));
    if (!V) return KVE_NO_MEMORY;
    kve_status st = kve_magnitude(e, V);
    if (st == KVE_OK) {
        kve_fillStart(start, bins, frames, K, f->W, f->H);
        int rc = qm_NMFFrom(e->settings.cost == KVE_EUCLIDEAN, V, bins, frames, K,
                            e->settings.iterations, f->W, f->H, progress, user);
        st = rc == 0 ? KVE_OK : rc > 0 ? KVE_STOPPED : KVE_NO_MEMORY;
    }
    free(V);
    return st;
}

/* the order by descending centroid (a silent basis has none, 0 / 0, and the
 * sort puts NaN last), then H scaled to a largest value of 1 */
static void kve_orderAndScale(int bins, int frames, int K, kve_factors *f)
{
    for (int k = 0; k < K; k++) {
        qm_getCol(f->W, bins, K, (vDSP_Length)k, f->column);
        f->centroids[k] = qm_spectralCentroid(f->column, bins);
        f->order[k] = (vDSP_Length)k;
    }
    vDSP_vsortiD(f->centroids, f->order, NULL, (vDSP_Length)K, -1);

    vDSP_Length n = (vDSP_Length)K * (vDSP_Length)frames;
    double m = 0.0;
    vDSP_maxvD(f->H, 1, &m, n);
    if (m > 0.0 && isfinite(m)) /* a silent sound keeps its zero activations */
        vDSP_vsdivD(f->H, 1, &m, f->H, 1, n);
}

static void kve_commitFactors(kve_engine *e, int K, kve_factors *f)
{
    kve_dropFactors(e);
    free(e->mask);
    e->W = f->W;
    e->H = f->H;
    e->order = f->order;
    e->mask = f->mask;
    e->factK = K;
    e->maskEmpty = true;
    e->decompValid = true;
    f->W = f->H = f->mask = NULL;
    f->order = NULL;
    kve_factorsFree(f);
}

kve_status kve_factorize(kve_engine *e, int K, const kve_start *start, kve_progressFn progress,
                         void *user)
{
    kve_status st = kve_checkComponents(e, K);
    if (st != KVE_OK) return st;
    int bins = (int)e->numBins, frames = (int)e->numFrames;
    kve_factors f;
    st = kve_factorsAlloc(&f, (size_t)bins, (size_t)frames, (size_t)K) ? KVE_OK : KVE_NO_MEMORY;
    if (st == KVE_OK) st = kve_runNMF(e, K, start, progress, user, &f);
    if (st != KVE_OK) {
        kve_factorsFree(&f);
        return st;
    }
    kve_orderAndScale(bins, frames, K, &f);
    kve_commitFactors(e, K, &f);
    return KVE_OK;
}
