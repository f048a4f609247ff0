/* "decomp" and "decompNoOut": the checks and the STFT on Pd's main thread,
 * the factorisation on a worker thread, and the result handed back on the
 * main thread by a clock that watches the worker. */
#include <limits.h>
#include <sched.h>
#include <stdlib.h>

#include "korvane_pd.h"

/* how often, in Pd's logical milliseconds, the clock looks at the worker */
#define KV_POLL_MS 5.0

/* the two lines of each refusal of the analysis shape */
static void kv_shapeRefused(t_korvane *x, kve_status st)
{
    switch (st) {
    case KVE_WINDOW_TOO_SHORT:
        kv_error(x, "Error: window will be shorter than 2 samples. Try one of the following:");
        kv_error(x, "Increase window length, check the sampling rate of the buffer.");
        break;
    case KVE_HOP_TOO_SHORT:
        kv_error(x, "Error: hop will be shorter than 1 sample. Try one of the following:");
        kv_error(x, "Increase hop, increase window length.");
        break;
    case KVE_SOUND_TOO_SHORT:
        kv_error(x, "Error: sound is too short for this window. Try one of the following:");
        kv_error(x, "Load a longer sound, reduce window length.");
        break;
    case KVE_TOO_MANY_FRAMES:
        kv_error(x, "Error: activations will exceed maximum length. Try one of the following:");
        kv_error(x, "Reduce file length, increase window length, increase hop.");
        break;
    case KVE_TOO_MANY_BINS:
        kv_error(x, "Error: bases will exceed maximum length. Try one of the following:");
        kv_error(x, "Reduce window length, reduce sampling rate.");
        break;
    default:
        kv_error(x, "Error: out of memory.");
        break;
    }
}

int kv_computeSTFT(t_korvane *x)
{
    kve_shapeDetail d = {0};
    kve_status st = kve_analyse(&x->eng, &d);
    if (st == KVE_NO_SOUND) return -1;
    kv_post("winlength = %f, FFTsize = %.0f, hop = %.0f, frames = %.0f",
            (double)x->eng.settings.window, d.fftSize, d.hop, d.frames);
    if (st != KVE_OK) {
        kv_shapeRefused(x, st);
        return -1;
    }
    kv_post("STFT computed");
    return 0;
}

/* the checks of the Max object, in its order; K once they pass, else -1 */
static int kv_checkDecomp(t_korvane *x)
{
    if (x->K == 0) {
        kv_error(x, "Factorization error: 0 components selected.");
        return -1;
    }
    if (x->K < 0) {
        kv_error(x, "Factorization error: negative number of components selected.");
        return -1;
    }
    if (x->K > INT_MAX) {
        kv_error(x, "Factorization error: too many components selected.");
        return -1;
    }
    if (!x->eng.fileLoaded) {
        kv_error(x, "Factorization error: no file was loaded");
        return -1;
    }
    if (!x->eng.stftValid && kv_computeSTFT(x) != 0) return -1;
    kve_status st = kve_checkComponents(&x->eng, (int)x->K);
    if (st == KVE_TOO_MANY_COMPONENTS) {
        kv_error(x, "Factorization error: too many components selected.");
        return -1;
    }
    return st == KVE_OK ? (int)x->K : -1;
}

static int kv_progress(int done, int total, void *user)
{
    t_kv_job *job = user;
    atomic_store(&job->total, total);
    atomic_store(&job->rounds, done);
    return atomic_load(&job->stop);
}

/* the share of rounds done to the receiver named by "progress", when it
 * has changed */
static void kv_sendProgress(t_korvane *x, int rounds, int total)
{
    if (!x->progressTo || !x->progressTo->s_thing || total < 1 || rounds == x->progressSent) return;
    x->progressSent = rounds;
    pd_float(x->progressTo->s_thing, (t_float)rounds / (t_float)total);
}

static void *kv_worker(void *arg)
{
    t_korvane *x = arg;
    t_kv_job *job = &x->job;
    job->status = kve_factorize(&x->eng, job->K, &job->start, kv_progress, job);
    atomic_store(&job->done, 1);
    return NULL;
}

/* the worker at ordinary priority: a thread made by Pd's main thread
 * would inherit its real-time scheduling and compete with the audio */
static int kv_spawn(t_kv_job *job, t_korvane *x)
{
    pthread_attr_t attr;
    struct sched_param prio = {0};
    if (pthread_attr_init(&attr) != 0) return -1;
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attr, SCHED_OTHER);
    pthread_attr_setschedparam(&attr, &prio);
    int rc = pthread_create(&job->thread, &attr, kv_worker, x);
    pthread_attr_destroy(&attr);
    return rc;
}

/* settings that arrived during the run */
static void kv_applyPending(t_korvane *x)
{
    if (x->pendingWin) x->eng.settings.window = x->winValue;
    if (x->pendingHop) x->eng.settings.overlap = 1.0f - x->hopValue;
    if (x->pendingWin || x->pendingHop) kve_settingsChanged(&x->eng);
    x->pendingWin = x->pendingHop = false;
}

/* joins the finished worker; its status */
static kve_status kv_joinJob(t_korvane *x)
{
    pthread_join(x->job.thread, NULL);
    x->job.running = false;
    clock_unset(x->poll);
    kv_applyPending(x);
    return x->job.status;
}

void kv_stopJob(t_korvane *x)
{
    if (!x->job.running) return;
    atomic_store(&x->job.stop, 1);
    if (kv_joinJob(x) == KVE_STOPPED) kv_post("korvane~: decomposition stopped");
}

void kv_startDecomp(t_korvane *x, bool sendLists)
{
    if (x->sendingLists) {
        /* asked for by a receiver of the lists: it runs once they are all out */
        x->queuedDecomp = sendLists ? 2 : 1;
        return;
    }
    kv_stopJob(x);
    int K = kv_checkDecomp(x);
    if (K < 0) return;
    kv_post("Factorizing sound with k=%u...", (unsigned)K);

    t_kv_job *job = &x->job;
    job->K = K;
    job->sendLists = sendLists;
    job->start = (kve_start){x->seeded ? KVE_START_SEEDED : KVE_START_RAND, x->seed, NULL, NULL};
    job->status = KVE_OK;
    atomic_store(&job->stop, 0);
    atomic_store(&job->done, 0);
    atomic_store(&job->rounds, 0);
    atomic_store(&job->total, 0);
    x->progressSent = -1;
    kv_sendProgress(x, 0, 1);
    if (kv_spawn(job, x) != 0) {
        kv_error(x, "Factorization error: out of memory.");
        return;
    }
    job->running = true;
    clock_delay(x->poll, KV_POLL_MS);
}

void kv_pollJob(t_korvane *x)
{
    if (!x->job.running) return;
    if (!atomic_load(&x->job.done)) {
        kv_sendProgress(x, atomic_load(&x->job.rounds), atomic_load(&x->job.total));
        clock_delay(x->poll, KV_POLL_MS);
        return;
    }
    kve_status st = kv_joinJob(x);
    if (st == KVE_OK) {
        kv_sendProgress(x, 1, 1);
        kv_post("done.\n");
        if (x->job.sendLists) kv_sendLists(x);
    } else if (st == KVE_STOPPED) {
        kv_post("korvane~: decomposition stopped");
    } else {
        kv_error(x, "Factorization error: out of memory.");
    }
}

/* every activation, then every basis as -log(1 + w), in the engine's order */
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
        kv_error(x, "Factorization error: out of memory.");
        return;
    }
    x->sendingLists = true;
    for (int i = 0; i < K; i++) {
        kve_activation(e, (int)e->order[i], v);
        for (int t = 0; t < frames; t++) SETFLOAT(&atoms[t], (t_float)v[t]);
        outlet_list(x->actOutlet, &s_list, frames, atoms);
    }
    for (int i = 0; i < K; i++) {
        kve_basis(e, (int)e->order[i], v);
        kve_encodeBasis(v, bins, v);
        for (int b = 0; b < bins; b++) SETFLOAT(&atoms[b], (t_float)v[b]);
        outlet_list(x->baseOutlet, &s_list, bins, atoms);
    }
    free(v);
    free(atoms);
    x->sendingLists = false;
    if (x->queuedDecomp) {
        bool lists = x->queuedDecomp == 2;
        x->queuedDecomp = 0;
        kv_startDecomp(x, lists);
    }
}
