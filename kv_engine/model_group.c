/* Components grouped into sources: Ward's clustering (each merge the one
 * that adds least to the clusters' spread) of the components on their
 * spectral shape, their activations' course in time, how sharply they rise
 * (a drum's hits against a held note) and, with stacked channels, their
 * spread over the channels. Without channel shares to go by, the
 * activations are first smoothed over 25 frames (about half a second at the
 * default window and hop), so that the parts of one note or syllable fall
 * together, and the components' pitches count too: a tune's notes and a
 * voice's syllables lie within an octave or so, apart from the bass's. So
 * does how closely each activation repeats itself a beat to a bar later: a
 * drum's pattern does, a voice or a tune hardly, and how clearly each
 * spectrum has a pitch at all: a voice's or a note's partials stand out, a
 * drum's noise does not. */
#include "model_internal.h"

#include <limits.h>
#include <math.h>
#include <stdlib.h>

/* components factorised per source asked for */
enum { KVE_POOL_PER_SOURCE = 3, KVE_POOL_EXTRA = 6 };
/* weight of the channel shares against the unit spectral and activation
 * features (each adds at most 4 to a squared distance) */
static const double PAN_WEIGHT = 4.0;
/* weight of the rise: the activation's rises over its sum, about 0.3 for
 * hits at the default hop and under 0.1 for held sounds */
static const double RISE_WEIGHT = 2.0;
/* frames of the moving average over the activations (odd), when unstacked */
enum { KVE_GROUP_SMOOTHING = 25 };
/* weight of the pitch, when unstacked: √2, so that an octave apart adds 2
 * to a squared distance */
static const double PITCH_WEIGHT = 1.4142135623730951;
/* weight of the repetition, when unstacked: the activation's largest
 * autocorrelation (over its energy, centred) at lags from REPEAT_LOW to
 * REPEAT_HIGH seconds, 0.5 to 0.8 for a drum's hits and under 0.4 for most
 * of a voice's or a tune's parts */
static const double REPEAT_WEIGHT = 2.0, REPEAT_LOW = 0.25, REPEAT_HIGH = 2.2;
/* weight of the harmonicity, when unstacked: the log of the best pitch's
 * partial sum over the median of all pitches' sums (0.3 to 0.8 for a drum's
 * parts, 0.6 to 2.5 for a voice's), its squared differences over its
 * variance across the components, or over HARMONICITY_SPREAD where that is
 * larger: closer harmonicities are one sound's parts */
static const double HARMONICITY_WEIGHT = 0.5, HARMONICITY_SPREAD = 0.08;
/* the pitches tried: KVE_PITCHES steps evenly spaced in log frequency from
 * PITCH_LOW to PITCH_HIGH Hz, each scored by its first KVE_PARTIALS
 * partials, the h-th weighted PARTIAL_DECAY^(h - 1) */
enum { KVE_PITCHES = 240, KVE_PARTIALS = 8 };
static const double PITCH_LOW = 35.0, PITCH_HIGH = 1200.0, PARTIAL_DECAY = 0.84;

/* three components a source, at most KVE_POOL_EXTRA more than the sources:
 * the rounds' time grows with the pool, and past 16 components the rounds
 * leave their fastest kernels */
int kve_poolSize(int sources)
{
    if (sources < 1 || sources > INT_MAX / KVE_POOL_PER_SOURCE) return 0;
    const int doubled = sources * KVE_POOL_PER_SOURCE;
    return doubled - sources < KVE_POOL_EXTRA ? doubled : sources + KVE_POOL_EXTRA;
}

/* scratch of one grouping */
typedef struct {
    int inner, bins, channels;
    int smoothing;   /* frames of the moving average (1: none) */
    double *spectra; /* inner x bins: sqrt of the channels' summed basis, unit norm */
    double *share;   /* inner x channels: each channel's share of the basis's energy */
    double *act;     /* per component: mean, norm of the centred activation, rise */
    double *pitch;   /* per component: log2 of its pitch in Hz (unstacked), else NULL */
    double *harmony; /* per component: its harmonicity (unstacked), else NULL */
    double *repeat;  /* per component: its repetition (unstacked), else NULL */
    double *dist;    /* inner x inner: squared distances, then between clusters */
    int *size;       /* members of each cluster, 0 once merged away */
} grouping;

static void freeGrouping(grouping *g)
{
    free(g->spectra), free(g->share), free(g->act), free(g->pitch), free(g->harmony),
        free(g->repeat), free(g->dist);
    free(g->size);
}

static int finiteNonNegative(const double *x, long n)
{
    for (long i = 0; i < n; i++)
        if (!(x[i] >= 0.0) || !isfinite(x[i])) return 0;
    return 1;
}

/* unit sqrt spectra and channel shares of the bases */
static void basisFeatures(grouping *g, const kve_streamShape *s, const double *W)
{
    const int P = g->inner, B = g->bins, C = g->channels;
    for (long x = 0; x < (long)P * B; x++) g->spectra[x] = 0.0;
    for (long x = 0; x < (long)P * C; x++) g->share[x] = 0.0;
    for (int r = 0; r < s->rows; r++) {
        const int c = s->stacked ? r / B : 0, b = s->stacked ? r % B : r;
        const double *w = W + (long)r * P;
        for (int i = 0; i < P; i++) {
            g->spectra[(long)i * B + b] += w[i];
            g->share[i * C + c] += w[i] * w[i];
        }
    }
    for (int i = 0; i < P; i++) {
        double *v = g->spectra + (long)i * B, n = 0.0, e = 0.0;
        for (int b = 0; b < B; b++) v[b] = sqrt(v[b]), n += v[b] * v[b];
        n = sqrt(n);
        for (int b = 0; b < B; b++) v[b] = n > 0.0 ? v[b] / n : 0.0;
        for (int c = 0; c < C; c++) e += g->share[i * C + c];
        for (int c = 0; c < C; c++) g->share[i * C + c] = e > 0.0 ? g->share[i * C + c] / e : 0.0;
    }
}

/* Each basis's pitch by subharmonic summation over its unit sqrt spectrum
 * (hz a bin): of the pitches tried, the first whose partials, each taken as
 * the larger of the two bins around it, sum highest; and its harmonicity,
 * the log of that sum over the median of all the pitches' sums (0 when
 * either is 0). */
static int ascending(const void *a, const void *b)
{
    const double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static void basisPitches(grouping *g, double hz)
{
    const int B = g->bins;
    const double low = log(PITCH_LOW), step = (log(PITCH_HIGH) - low) / (KVE_PITCHES - 1);
    double sums[KVE_PITCHES];
    for (int i = 0; i < g->inner; i++) {
        const double *v = g->spectra + (long)i * B;
        double best = -1.0, f0best = PITCH_LOW;
        for (int j = 0; j < KVE_PITCHES; j++) {
            const double f0 = j < KVE_PITCHES - 1 ? exp(low + j * step) : PITCH_HIGH;
            double sum = 0.0, weight = 1.0;
            for (int h = 1; h <= KVE_PARTIALS; h++, weight *= PARTIAL_DECAY) {
                const double b = h * f0 / hz;
                if (b >= B - 1) break;
                const int k = (int)b;
                sum += weight * fmax(v[k], v[k + 1]);
            }
            sums[j] = sum;
            if (sum > best) best = sum, f0best = f0;
        }
        g->pitch[i] = log2(f0best);
        qsort(sums, KVE_PITCHES, sizeof sums[0], ascending);
        const double median = 0.5 * (sums[(KVE_PITCHES - 1) / 2] + sums[KVE_PITCHES / 2]);
        g->harmony[i] = best > 0.0 && median > 0.0 ? log(best / median) : 0.0;
    }
}

/* Each activation's largest autocorrelation at lags from `low` to `high`
 * seconds (perSecond frames a second) within its length, centred and over
 * its energy; 0 for a flat one or without lags. */
static void repetitions(grouping *g, const double *H, long frames, double perSecond, double low,
                        double high)
{
    const long lo = (long)fmin(low * perSecond, (double)frames);
    const long hi = (long)fmin(high * perSecond, (double)(frames - 1));
    for (int i = 0; i < g->inner; i++) {
        const double *h = H + (long)i * frames;
        double mean = 0.0, energy = 0.0, best = 0.0;
        for (long t = 0; t < frames; t++) mean += h[t];
        mean /= (double)frames;
        for (long t = 0; t < frames; t++) energy += (h[t] - mean) * (h[t] - mean);
        for (long L = lo; L < hi && energy > 0.0; L++) {
            double c = 0.0;
            for (long t = 0; t + L < frames; t++) c += (h[t] - mean) * (h[t + L] - mean);
            if (L == lo || c / energy > best) best = c / energy;
        }
        g->repeat[i] = best;
    }
}

/* A moving sum of n (odd) frames over an activation, zeros beyond its
 * ends, read frame by frame in order. */
typedef struct {
    const double *h;
    long frames, half, t;
    double sum;
} movingSum;

static movingSum startSum(const double *h, long frames, int n)
{
    movingSum m = {h, frames, n / 2, 0, 0.0};
    for (long u = 0; u <= m.half && u < frames; u++) m.sum += h[u];
    return m;
}

/* the sum around frame m->t, then on to the next frame */
static double nextSum(movingSum *m)
{
    const double v = m->sum;
    const long in = m->t + m->half + 1, out = m->t - m->half;
    if (in < m->frames) m->sum += m->h[in];
    if (out >= 0) m->sum -= m->h[out];
    m->t++;
    return v;
}

/* Sum over the frames of (a - ma)(b - mb), a and b the activations i and j
 * (smoothed by moving sums when n > 1). */
static double centredProduct(const double *hi, const double *hj, long frames, int n, double mi,
                             double mj)
{
    double dot = 0.0;
    if (n <= 1) {
        for (long t = 0; t < frames; t++) dot += (hi[t] - mi) * (hj[t] - mj);
        return dot;
    }
    movingSum a = startSum(hi, frames, n), b = startSum(hj, frames, n);
    for (long t = 0; t < frames; t++) dot += (nextSum(&a) - mi) * (nextSum(&b) - mj);
    return dot;
}

double kve_activationRise(const double *h, long frames)
{
    double up = 0.0, sum = h[0];
    for (long t = 1; t < frames; t++) up += fmax(h[t] - h[t - 1], 0.0), sum += h[t];
    return sum > 0.0 ? up / sum : 0.0;
}

static double activationMean(const double *h, long frames, int n)
{
    double m = 0.0;
    if (n <= 1) {
        for (long t = 0; t < frames; t++) m += h[t];
    } else {
        movingSum a = startSum(h, frames, n);
        for (long t = 0; t < frames; t++) m += nextSum(&a);
    }
    return m / (double)frames;
}

/* squared distances between the components' joined features: unit
 * spectrum, unit centred (smoothed) activation (so 2 - 2 x their
 * correlation), weighted rise and shares */
static void distances(grouping *g, const double *H, long frames)
{
    const int P = g->inner, B = g->bins, C = g->channels, n = g->smoothing;
    double *mean = g->act, *norm = g->act + P, *rises = g->act + 2 * P;
    double harmonyScale = 0.0;
    if (g->harmony) {
        double m = 0.0, var = 0.0;
        for (int i = 0; i < P; i++) m += g->harmony[i] / P;
        for (int i = 0; i < P; i++) var += (g->harmony[i] - m) * (g->harmony[i] - m) / P;
        harmonyScale = HARMONICITY_WEIGHT / fmax(var, HARMONICITY_SPREAD);
    }
    for (int i = 0; i < P; i++) {
        const double *h = H + (long)i * frames;
        mean[i] = activationMean(h, frames, n);
        norm[i] = sqrt(fmax(0.0, centredProduct(h, h, frames, n, mean[i], mean[i])));
        rises[i] = kve_activationRise(h, frames);
    }
    for (int i = 0; i < P; i++) {
        g->dist[(long)i * P + i] = 0.0;
        for (int j = i + 1; j < P; j++) {
            const double *a = g->spectra + (long)i * B, *b = g->spectra + (long)j * B;
            double d = 0.0, sa = 0.0, sb = 0.0, dot = 0.0;
            for (int k = 0; k < B; k++) dot += a[k] * b[k], sa += a[k] * a[k], sb += b[k] * b[k];
            d += sa + sb - 2.0 * dot;
            const double *hi = H + (long)i * frames, *hj = H + (long)j * frames;
            const double ni = norm[i] > 0.0 ? 1.0 / norm[i] : 0.0;
            const double nj = norm[j] > 0.0 ? 1.0 / norm[j] : 0.0;
            dot = centredProduct(hi, hj, frames, n, mean[i], mean[j]);
            d += (ni > 0.0) + (nj > 0.0) - 2.0 * dot * ni * nj;
            const double up = RISE_WEIGHT * (rises[i] - rises[j]);
            d += up * up;
            if (g->pitch) {
                const double p = PITCH_WEIGHT * (g->pitch[i] - g->pitch[j]);
                d += p * p;
            }
            if (g->harmony) {
                const double e = g->harmony[i] - g->harmony[j];
                d += harmonyScale * e * e;
            }
            if (g->repeat) {
                const double r = REPEAT_WEIGHT * (g->repeat[i] - g->repeat[j]);
                d += r * r;
            }
            for (int c = 0; c < C; c++) {
                const double e = PAN_WEIGHT * (g->share[i * C + c] - g->share[j * C + c]);
                d += e * e;
            }
            g->dist[(long)i * P + j] = g->dist[(long)j * P + i] = d > 0.0 ? d : 0.0;
        }
    }
}

/* merges the pair of clusters whose union adds least to the sum of squared
 * distances to the clusters' centres (Ward's update of the squared
 * distances, dist P x P) until `sources` are left; cluster i keeps the name
 * of its smallest member, groupOf the cluster name of each component */
static void wardGroups(double *dist, int *size, int P, int sources, int *groupOf)
{
    for (int i = 0; i < P; i++) size[i] = 1, groupOf[i] = i;
    for (int left = P; left > sources; left--) {
        int a = -1, b = -1;
        double best = INFINITY;
        for (int i = 0; i < P; i++) {
            if (!size[i]) continue;
            for (int j = i + 1; j < P; j++)
                if (size[j] && dist[(long)i * P + j] < best)
                    best = dist[(long)i * P + j], a = i, b = j;
        }
        if (a < 0) { /* distances not comparable: join the first two left */
            for (int i = 0; i < P && b < 0; i++) {
                if (!size[i]) continue;
                if (a < 0)
                    a = i;
                else
                    b = i;
            }
        }
        const double na = size[a], nb = size[b], ab = dist[(long)a * P + b];
        for (int k = 0; k < P; k++) {
            if (!size[k] || k == a || k == b) continue;
            const double nk = size[k];
            const double d =
                ((na + nk) * dist[(long)a * P + k] + (nb + nk) * dist[(long)b * P + k] - nk * ab) /
                (na + nb + nk);
            dist[(long)a * P + k] = dist[(long)k * P + a] = d > 0.0 ? d : 0.0;
        }
        size[a] += size[b], size[b] = 0;
        for (int i = 0; i < P; i++)
            if (groupOf[i] == b) groupOf[i] = a;
    }
    /* names 0 .. sources - 1 in the order of each cluster's first member */
    int next = 0;
    for (int i = 0; i < P; i++) size[i] = -1;
    for (int i = 0; i < P; i++) {
        if (size[groupOf[i]] < 0) size[groupOf[i]] = next++;
        groupOf[i] = size[groupOf[i]];
    }
}

kve_status kve_groupComponents(const kve_streamShape *s, double rate, const double *W,
                               const double *H, int inner, int sources, int *groupOf)
{
    if (!s || !W || !H || !groupOf || sources < 1 || inner < sources) return KVE_BAD_ARGUMENT;
    if (!(rate > 0.0) || !isfinite(rate)) return KVE_BAD_ARGUMENT;
    if (s->bins < 1 || s->frames < 1 || s->channels < 1 || s->channels > KVE_MOST_CHANNELS)
        return KVE_BAD_ARGUMENT;
    const int C = s->stacked ? s->channels : 1;
    if (s->rows != (long)C * s->bins) return KVE_BAD_ARGUMENT;
    if ((size_t)inner > ((size_t)-1 / sizeof(double)) / (size_t)inner ||
        (size_t)inner > ((size_t)-1 / sizeof(double)) / (size_t)s->bins)
        return KVE_NO_MEMORY;
    if (!finiteNonNegative(W, (long)s->rows * inner) ||
        !finiteNonNegative(H, (long)inner * s->frames))
        return KVE_BAD_ARGUMENT;

    grouping g = {inner, s->bins, C,    s->stacked ? 1 : KVE_GROUP_SMOOTHING,
                  NULL,  NULL,    NULL, NULL,
                  NULL,  NULL,    NULL, NULL};
    g.spectra = malloc((size_t)inner * (size_t)s->bins * sizeof(double));
    g.share = malloc((size_t)inner * (size_t)C * sizeof(double));
    g.act = malloc(3 * (size_t)inner * sizeof(double));
    g.dist = malloc((size_t)inner * (size_t)inner * sizeof(double));
    g.size = malloc((size_t)inner * sizeof(int));
    if (!s->stacked) {
        g.pitch = malloc((size_t)inner * sizeof(double));
        g.harmony = malloc((size_t)inner * sizeof(double));
        g.repeat = malloc((size_t)inner * sizeof(double));
    }
    if (!g.spectra || !g.share || !g.act || !g.dist || !g.size ||
        (!s->stacked && (!g.pitch || !g.harmony || !g.repeat))) {
        freeGrouping(&g);
        return KVE_NO_MEMORY;
    }
    basisFeatures(&g, s, W);
    if (g.pitch) basisPitches(&g, rate / s->N);
    if (g.repeat) repetitions(&g, H, s->frames, rate / s->hop, REPEAT_LOW, REPEAT_HIGH);
    distances(&g, H, s->frames);
    wardGroups(g.dist, g.size, inner, sources, groupOf);
    freeGrouping(&g);
    return KVE_OK;
}

double kve_pitchClarity(const kve_streamShape *s, double rate, const double *W, int n)
{
    if (!s || !W || n < 1 || s->stacked || s->bins < 2 || s->rows != s->bins) return -1.0;
    if (!(rate > 0.0) || !isfinite(rate) || !finiteNonNegative(W, (long)s->rows * n)) return -1.0;
    if ((size_t)n > ((size_t)-1 / sizeof(double)) / (size_t)s->bins) return -1.0;
    grouping g = {n, s->bins, 1, 1, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL};
    g.spectra = malloc((size_t)n * (size_t)s->bins * sizeof(double));
    g.share = malloc((size_t)n * sizeof(double));
    g.pitch = malloc((size_t)n * sizeof(double));
    g.harmony = malloc((size_t)n * sizeof(double));
    double mean = -1.0;
    if (g.spectra && g.share && g.pitch && g.harmony) {
        basisFeatures(&g, s, W);
        basisPitches(&g, rate / s->N);
        mean = 0.0;
        for (int i = 0; i < n; i++) mean += g.harmony[i] / n;
    }
    freeGrouping(&g);
    return mean;
}
