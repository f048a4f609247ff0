/* The streamed factorisation: rounds of multiplicative updates in groups
 * between which a cost estimate is checked against the tolerance. */
#include <math.h>

#include "kv_engine_private.h"

typedef struct kve_roundsProgress {
    kve_progressFn progress;
    void *user;
    int before, total; /* rounds run before this group, and in all */
} kve_roundsProgress;

static int kve_onRound(int done, int total, void *user)
{
    (void)total;
    const kve_roundsProgress *p = user;
    return p->progress ? p->progress(p->before + done, p->total, p->user) : 0;
}

/* n rounds of m (NULL: the plain cost's); 0, 1 when progress asked to
 * stop, -1 when scratch ran out */
static int kve_someRounds(const float *V, int rows, int frames, int K, double *W, double *H,
                          const kve_rounds *how, const kve_model *m, int n, kve_roundsProgress *p)
{
    if (how->precision == KVE_SINGLE) {
        const kve_model plain = kve_plainModel(how->cost);
        return kve_modelRoundsIn(KVE_SINGLE, m ? m : &plain, V, rows, frames, K, how->fixedK, W, H,
                                 n, kve_onRound, p);
    }
    if (m) return kve_modelRounds(m, V, rows, frames, K, W, H, n, kve_onRound, p);
    const int eucl = how->cost == KVE_EUCLIDEAN;
    if (how->fixedK < 0) return qm_NMFFromFloat(eucl, V, rows, frames, K, n, W, H, kve_onRound, p);
    return qm_NMFFromFixed(eucl, V, rows, frames, K, how->fixedK, n, W, H, kve_onRound, p);
}

/* the model with its continuity weight in the data's units: times the mean
 * magnitude a component adds to a frame, sum V / (K frames) */
static kve_model kve_scaledModel(const kve_model *m, const float *V, int rows, int frames, int K)
{
    kve_model s = *m;
    if (m->continuity > 0.0) {
        double sum = 0.0;
        for (size_t i = 0; i < (size_t)rows * (size_t)frames; i++) sum += V[i];
        s.continuity *= sum / ((double)K * (double)frames);
    }
    return s;
}

kve_status kve_streamFactorise(const float *V, int rows, int frames, int K, double *W, double *H,
                               const kve_rounds *how, kve_progressFn progress, void *user,
                               kve_roundsDone *done)
{
    if (!V || !W || !H || !how || rows < 1 || frames < 1 || K < 1 || how->iterations < 0)
        return KVE_BAD_ARGUMENT;
    const kve_model *given = how->model && !kve_modelIsPlain(how->model) ? how->model : NULL;
    if (given && (!kve_modelIsValid(given) || how->fixedK > 0)) return KVE_BAD_ARGUMENT;
    if (how->precision != KVE_DOUBLE && how->precision != KVE_SINGLE) return KVE_BAD_ARGUMENT;
    kve_model scaled =
        given ? kve_scaledModel(given, V, rows, frames, K) : kve_plainModel(how->cost);
    const kve_model *m = given ? &scaled : NULL;
    const int total = how->iterations;
    const bool check = how->tol > 0;
    /* relaxed rounds are watched every group even without a tolerance: when
     * the estimate rises they go on with the plain exponent, a descent */
    bool relaxed = m && kve_modelRelax(m) > 1.0;
    const int every = check || relaxed ? KVE_CHECK_EVERY : total;
    double last = !check && !relaxed ? 0.0
                  : m                ? kve_modelEstimate(m, V, W, H, rows, frames, K)
                                     : kve_costEstimate(how->cost, V, W, H, rows, frames, K);
    int run = 0, relaxedRun = 0;
    while (run < total) {
        const int n = every < total - run ? every : total - run;
        kve_roundsProgress p = {progress, user, run, total};
        const int rc = kve_someRounds(V, rows, frames, K, W, H, how, m, n, &p);
        if (rc != 0) return rc > 0 ? KVE_STOPPED : KVE_NO_MEMORY;
        run += n;
        if (relaxed) relaxedRun = run;
        if (!check && !relaxed) continue;
        const double now = m ? kve_modelEstimate(m, V, W, H, rows, frames, K)
                             : kve_costEstimate(how->cost, V, W, H, rows, frames, K);
        if (relaxed && !(now <= last)) {
            scaled.relax = 1.0;
            relaxed = false;
        }
        /* settled when the estimate barely moves: a sample of the frames may
         * rise a little while the whole cost falls, which is no end */
        const bool settled = check && fabs(last - now) < how->tol * fabs(last);
        last = now;
        if (settled) break;
    }
    if (done) {
        done->iterations = run;
        done->relaxed = relaxedRun;
        done->cost = m ? kve_betaDivergence(m->beta, V, W, H, rows, frames, K, m->span)
                       : kve_cost(how->cost, V, W, H, rows, frames, K);
    }
    return KVE_OK;
}
