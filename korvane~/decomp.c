/* Factorisation stage: W and H of the magnitude spectrogram (of the summed
 * channel spectra for two or more channels), the output order by descending
 * spectral centroid, H scaled to a largest value of 1, and an empty mask. */
#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "qm_audio.h"
#include "qm_matrixOps.h"
#include "korvane_private.h"

/* V = |(reL + reR) + i (imL + imR)|, or |reL + i imL| without a second
 * channel; the sums are formed a stretch at a time and never stored whole */
static int kv_magnitude(const double *reL, const double *imL, const double *reR,
                        const double *imR, size_t cells, double *V)
{
    if (!reR || !imR) {
        vDSP_vdistD(reL, 1, imL, 1, V, 1, cells);
        return 0;
    }
    enum { STRETCH = 2048 };
    double *sum = kv_malloc(2 * STRETCH * sizeof(double));
    if (!sum) return -1;
    for (size_t i = 0; i < cells; i += STRETCH) {
        vDSP_Length n = cells - i < STRETCH ? cells - i : STRETCH;
        vDSP_vaddD(reL + i, 1, reR + i, 1, sum, 1, n);
        vDSP_vaddD(imL + i, 1, imR + i, 1, sum + STRETCH, 1, n);
        vDSP_vdistD(sum, 1, sum + STRETCH, 1, V + i, 1, n);
    }
    free(sum);
    return 0;
}

int kv_analyze2(FFTSetupD setup, int bins, int frames, int hop, const double *reL,
                const double *imL, const double *reR, const double *imR, int K, double *W,
                double *H)
{
    (void)setup;
    (void)hop;
    size_t cells = (size_t)bins * (size_t)frames;
    double *V = kv_malloc(cells * sizeof(double));
    if (!V) return -1;
    int rc = kv_magnitude(reL, imL, reR, imR, cells, V);
    if (rc == 0 && myNmfType == 0)
        rc = qm_euclNMF(V, bins, frames, K, it, W, H);
    else if (rc == 0 && myNmfType == 1)
        rc = qm_klNMF(V, bins, frames, K, it, W, H);
    free(V);
    return rc == 0 ? 0 : -1;
}

int kv_analyze(FFTSetupD setup, int bins, int frames, int hop, const double *re,
               const double *im, int K, double *W, double *H)
{
    return kv_analyze2(setup, bins, frames, hop, re, im, NULL, NULL, K, W, H);
}

/* all that a factorisation makes, so that it is committed as a whole */
typedef struct {
    double *W, *H, *mask, *centroids, *column;
    vDSP_Length *baseOrder, *actOrder;
} kv_factors;

static void kv_factorsFree(kv_factors *f)
{
    free(f->W);
    free(f->H);
    free(f->mask);
    free(f->centroids);
    free(f->column);
    free(f->baseOrder);
    free(f->actOrder);
    memset(f, 0, sizeof *f);
}

int kv_factorize(t_korvane *x)
{
    if (x->K < 0) {
        object_error(NULL, "Factorization error: negative number of components selected.");
        return -1;
    }
    if (x->K == 0) {
        object_error(NULL, "Factorization error: 0 components selected.");
        return -1;
    }
    /* the factors belong to the analysis in the record, which must be current */
    if (!x->stftValid || !x->stftReL || x->numBins < 1 || x->numFrames < 1) return -1;
    int bins = (int)x->numBins, frames = (int)x->numFrames;
    if (x->K > INT_MAX / bins || x->K > INT_MAX / frames) {
        object_error(NULL, "Factorization error: too many components selected.");
        return -1;
    }
    int K = (int)x->K;
    bool stereo = x->numChannels > 1;
    size_t cells = (size_t)bins * (size_t)frames;

    object_post(NULL, "Factorizing sound with k=%u...", (unsigned)K);

    kv_factors f = {0};
    f.W = kv_calloc((size_t)bins * (size_t)K, sizeof(double));
    f.H = kv_calloc((size_t)K * (size_t)frames, sizeof(double));
    f.mask = kv_calloc(cells, sizeof(double));
    f.centroids = kv_malloc((size_t)K * sizeof(double));
    f.column = kv_malloc((size_t)bins * sizeof(double));
    f.baseOrder = kv_malloc((size_t)K * sizeof(vDSP_Length));
    f.actOrder = kv_malloc((size_t)K * sizeof(vDSP_Length));
    if (!f.W || !f.H || !f.mask || !f.centroids || !f.column || !f.baseOrder ||
        !f.actOrder) {
        kv_factorsFree(&f);
        object_error(NULL, "Factorization error: out of memory.");
        return -1;
    }

    /* the magnitude of the channels' complex sum */
    if (kv_analyze2(x->fftSetup, bins, frames, x->hopSize, x->stftReL, x->stftImL,
                    stereo ? x->stftReR : NULL, stereo ? x->stftImR : NULL, K, f.W, f.H) != 0) {
        kv_factorsFree(&f);
        object_error(NULL, "Factorization error: out of memory.");
        return -1;
    }
    object_post(NULL, "done.\n");

    /* a silent basis has no centroid (0 / 0); the sort puts NaN last */
    for (int k = 0; k < K; k++) {
        qm_getCol(f.W, bins, K, (vDSP_Length)k, f.column);
        f.centroids[k] = qm_spectralCentroid(f.column, bins);
        f.baseOrder[k] = (vDSP_Length)k;
    }
    vDSP_vsortiD(f.centroids, f.baseOrder, NULL, (vDSP_Length)K, -1);
    memcpy(f.actOrder, f.baseOrder, (size_t)K * sizeof(vDSP_Length));

    double m = 0.0;
    vDSP_maxvD(f.H, 1, &m, (vDSP_Length)K * (vDSP_Length)frames);
    if (m > 0.0 && isfinite(m))   /* a silent sound keeps its zero activations */
        vDSP_vsdivD(f.H, 1, &m, f.H, 1, (vDSP_Length)K * (vDSP_Length)frames);

    free(x->W);
    free(x->H);
    kv_dropModel(x);
    free(x->baseOrder);
    free(x->actOrder);
    free(x->mask);
    x->W = f.W;
    x->H = f.H;
    x->baseOrder = f.baseOrder;
    x->actOrder = f.actOrder;
    x->mask = f.mask;
    x->factK = K;
    x->maskEmpty = true;
    x->decompValid = true;
    f.W = f.H = f.mask = NULL;
    f.baseOrder = f.actOrder = NULL;
    kv_factorsFree(&f);
    return 0;
}

void korvane_doDecomp(t_korvane *x, t_symbol *s)
{
    (void)s;
    kv_factorize(x);
}
