/* The streamed factorisation: rounds of multiplicative updates in groups
 * between which a cost estimate is checked against the tolerance. */
#include <math.h>
#include <stdbool.h>
#include <stdlib.h>
#include <string.h>

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

/* What the stages of a run share: the model, the progress and the counts. */
typedef struct kve_stageRun {
    const kve_rounds *how;
    kve_model scaled;   /* the given model in the data's units */
    const kve_model *m; /* &scaled, or NULL for the plain cost */
    kve_progressFn progress;
    void *user;
    int total;   /* rounds of the whole run */
    int run;     /* rounds run so far */
    int relaxed; /* of them, run over-relaxed */
} kve_stageRun;

static double kve_stageEstimate(const kve_stageRun *r, const kve_model *m, const float *V, int rows,
                                int frames, int K, const double *W, const double *H)
{
    return r->m ? kve_modelEstimate(m, V, W, H, rows, frames, K)
                : kve_costEstimate(r->how->cost, V, W, H, rows, frames, K);
}

/* up to n rounds on V (rows x frames) until the tolerance stops them;
 * relaxed rounds start relaxed again */
static kve_status kve_stage(kve_stageRun *r, const float *V, int rows, int frames, int K, double *W,
                            double *H, int n)
{
    if (n == 0) return KVE_OK;
    kve_model model = r->scaled;
    const kve_model *m = r->m ? &model : NULL;
    const bool check = r->how->tol > 0;
    /* relaxed rounds are watched every group even without a tolerance: when
     * the estimate rises, the factors go back to where the group began and
     * on with the plain exponent, a descent */
    bool relaxed = m && kve_modelRelax(m) > 1.0;
    const size_t nw = (size_t)rows * (size_t)K, nh = (size_t)K * (size_t)frames;
    double *kept = relaxed ? malloc((nw + nh) * sizeof *kept) : NULL;
    if (relaxed && !kept) return KVE_NO_MEMORY;
    const int every = check || relaxed ? KVE_CHECK_EVERY : n;
    double last = check || relaxed ? kve_stageEstimate(r, m, V, rows, frames, K, W, H) : 0.0;
    kve_status st = KVE_OK;
    for (int done = 0; done < n;) {
        const int g = every < n - done ? every : n - done;
        if (relaxed) {
            memcpy(kept, W, nw * sizeof *kept);
            memcpy(kept + nw, H, nh * sizeof *kept);
        }
        kve_roundsProgress p = {r->progress, r->user, r->run, r->total};
        const int rc = kve_someRounds(V, rows, frames, K, W, H, r->how, m, g, &p);
        if (rc != 0) {
            st = rc > 0 ? KVE_STOPPED : KVE_NO_MEMORY;
            break;
        }
        done += g;
        r->run += g;
        if (relaxed) r->relaxed += g;
        if (!check && !relaxed) continue;
        const double now = kve_stageEstimate(r, m, V, rows, frames, K, W, H);
        if (relaxed && !(now <= last)) {
            memcpy(W, kept, nw * sizeof *kept);
            memcpy(H, kept + nw, nh * sizeof *kept);
            model.relax = 1.0;
            relaxed = false;
            continue;
        }
        /* settled when the estimate barely moves: a sample of the frames may
         * rise a little while the whole cost falls, which is no end */
        const bool settled = check && fabs(last - now) < r->how->tol * fabs(last);
        last = now;
        if (settled) break;
    }
    free(kept);
    return st;
}

/* the rounds but the last fine ones on V and W summed over the bands, then
 * W's rows back from the bands */
static kve_status kve_bandStage(kve_stageRun *r, const float *V, int rows, int frames, int K,
                                double *W, double *H, int n)
{
    const kve_rounds *how = r->how;
    kve_bandScratch b;
    if (kve_bandsOpen(&b, V, rows, frames, K, how->bandOf, how->bands) != 0) return KVE_NO_MEMORY;
    kve_bandsOfW(W, rows, K, how->bandOf, how->bands, b.Wb);
    const kve_status st = kve_stage(r, b.Vb, how->bands, frames, K, b.Wb, H, n);
    if (st == KVE_OK) kve_rowsOfBands(b.Wb, rows, K, how->bandOf, b.rowSum, b.bandSum, W);
    kve_bandsClose(&b);
    return st;
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
    const bool banded = how->bandOf != NULL;
    if (banded && (!given || given->span != 1 || how->fineRounds < 0 ||
                   !kve_bandsValid(how->bandOf, how->bands, rows)))
        return KVE_BAD_ARGUMENT;
    kve_stageRun r = {0};
    r.how = how;
    r.progress = progress;
    r.user = user;
    r.total = how->iterations;
    r.scaled = given ? kve_scaledModel(given, V, rows, frames, K) : kve_plainModel(how->cost);
    r.m = given ? &r.scaled : NULL;
    const int fine = !banded                             ? how->iterations
                     : how->fineRounds < how->iterations ? how->fineRounds
                                                         : how->iterations;
    kve_status st = KVE_OK;
    if (fine < how->iterations)
        st = kve_bandStage(&r, V, rows, frames, K, W, H, how->iterations - fine);
    if (st == KVE_OK) st = kve_stage(&r, V, rows, frames, K, W, H, fine);
    if (st != KVE_OK) return st;
    if (done) {
        done->iterations = r.run;
        done->relaxed = r.relaxed;
        done->cost = r.m ? kve_betaDivergence(r.m->beta, V, W, H, rows, frames, K, r.m->span)
                         : kve_cost(how->cost, V, W, H, rows, frames, K);
    }
    return KVE_OK;
}
