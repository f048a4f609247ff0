/* The model's settings. */
#include <math.h>

#include "model_internal.h"

kve_model kve_plainModel(int cost)
{
    kve_model m = {0};
    m.beta = cost == KVE_EUCLIDEAN ? 2.0 : 1.0;
    m.span = 1;
    return m;
}

int kve_modelIsPlain(const kve_model *m)
{
    return (m->beta == 1.0 || m->beta == 2.0) && m->l1W == 0.0 && m->l2W == 0.0 && m->l1H == 0.0 &&
           m->l2H == 0.0 && m->continuity == 0.0 && m->span == 1 && kve_modelRelax(m) == 1.0 &&
           m->shared <= 1;
}

int kve_spanWarmModel(const kve_model *m, kve_model *oneFrame)
{
    if (m->span <= 1) return 0;
    kve_model o = *m;
    o.span = 1;
    if (kve_modelIsPlain(&o)) return 0;
    *oneFrame = o;
    return 1;
}

double kve_modelRelax(const kve_model *m)
{
    return m->span == 1 && m->relax > 1.0 ? m->relax : 1.0;
}

int kve_modelShared(const kve_model *m, int rows)
{
    return m->span == 1 && m->shared > 1 && rows % m->shared == 0 ? m->shared : 1;
}

int kve_defaultRounds(const kve_model *m)
{
    kve_model oneFrame;
    if (kve_spanWarmModel(m, &oneFrame)) return KVE_WARM_SPAN_ROUNDS;
    return (int)ceil(200.0 / kve_modelRelax(m) - 1e-9);
}

int kve_modelIsValid(const kve_model *m)
{
    const double w[] = {m->l1W, m->l2W, m->l1H, m->l2H, m->continuity};
    for (size_t i = 0; i < sizeof w / sizeof w[0]; i++)
        if (!isfinite(w[i]) || w[i] < 0.0) return 0;
    return isfinite(m->beta) && m->span >= 1 && m->span <= KVE_MOST_SPAN &&
           (m->relax == 0.0 || (m->relax >= 1.0 && m->relax <= KVE_MOST_RELAX)) && m->shared >= 0 &&
           m->shared <= KVE_MOST_SHARED;
}

kve_model kve_defaultModel(const kve_streamShape *s)
{
    kve_model m = kve_plainModel(KVE_KULLBACK_LEIBLER);
    /* one row a bin: a little continuity steadies the activations */
    if (s->stacked)
        m.shared = s->channels;
    else
        m.continuity = KVE_ONE_ROW_CONTINUITY;
    m.relax = 1.75;
    return m;
}

double kve_defaultBands(const kve_streamShape *s)
{
    return s->stacked ? 400.0 : 250.0;
}

int kve_defaultPool(const kve_streamShape *s, int sources)
{
    return s->stacked ? kve_poolSize(sources) : 0;
}

int kve_richPoolMost(const kve_streamShape *s, const kve_model *m, int sources)
{
    if (s->stacked || m->span != 1 || m->beta != 1.0 || sources < 2) return 0;
    return 4 * sources;
}

int kve_hitSpanMost(const kve_streamShape *s, const kve_model *m, int sources)
{
    return kve_richPoolMost(s, m, sources) > 0 ? KVE_HIT_SPAN : 1;
}

int kve_hitSpan(const kve_streamShape *s, const kve_model *m, int sources, const double *W,
                const double *H)
{
    const int span = kve_hitSpanMost(s, m, sources);
    if (span == 1 || !W || !H || s->frames < 2) return 1;
    for (int k = 0; k < sources; k++) {
        double w = 0.0;
        for (long r = 0; r < s->rows; r++) w += W[r * sources + k];
        if (!(w > 0.0) || !(kve_activationRise(H + (long)k * s->frames, s->frames) > KVE_HIT_RISE))
            return 1;
    }
    return span;
}

int kve_richPool(const kve_streamShape *s, const kve_model *m, int sources, const float *V,
                 double divergence)
{
    const int most = kve_richPoolMost(s, m, sources);
    if (most == 0 || !V) return 0;
    double sum = 0.0;
    for (size_t i = 0; i < (size_t)s->rows * (size_t)s->frames; i++) sum += V[i];
    return sum > 0.0 && divergence > KVE_RICH_FIT * sum ? most : 0;
}

/* the components whose activation rises from frame to frame not under
 * KVE_HIT_RISE of its sum: hits */
static int hitsAmong(const double *H, int sources, long frames)
{
    int hits = 0;
    for (int k = 0; k < sources; k++)
        hits += !(kve_activationRise(H + (long)k * frames, frames) < KVE_HIT_RISE);
    return hits;
}

double kve_maskPower(const kve_streamShape *s, const kve_model *m, int sources, int inner,
                     const double *H)
{
    if (s->stacked || m->span != 1 || m->beta != 1.0 || inner != sources || kve_modelIsPlain(m))
        return 1.0;
    if (!H || s->frames < 2) return KVE_SHARP_SHARES;
    return hitsAmong(H, sources, s->frames) > 0 ? KVE_SHARP_SHARES : KVE_HELD_SHARES;
}

int kve_heldStarts(const kve_streamShape *s, const kve_model *m, int sources, int inner,
                   const double *H)
{
    if (!H || sources < 2 || s->frames < 2 || kve_maskPower(s, m, sources, inner, H) == 1.0)
        return 0;
    const int hits = hitsAmong(H, sources, s->frames);
    return hits <= 1 || 3 * hits <= sources ? KVE_HELD_STARTS : 0;
}

kve_filter kve_defaultFilter(const kve_streamShape *s)
{
    return s->stacked && s->channels == 2 ? KVE_SPATIAL : KVE_MASKS;
}
