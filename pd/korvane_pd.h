/* korvane~ for Pd: the object record and its stages, glue between Pd's
 * messages and arrays and the engine in kv_engine/. The decomposition runs
 * on a worker thread; everything else, the engine record included while no
 * worker runs, belongs to Pd's main thread. */
#ifndef KORVANE_PD_H
#define KORVANE_PD_H

#include <pthread.h>
#include <stdatomic.h>
#include <stdbool.h>

#include "m_pd.h"
#include "kv_engine.h"

#define KV_PD_EXPORT __attribute__((visibility("default")))

typedef struct _korvane t_korvane;

/* an inlet that passes every message to the object with its number, as the
 * Max host's proxies do */
typedef struct _kv_proxy {
    t_pd pd;          /* Pd header, first */
    t_korvane *owner; /* the object fed */
    int inlet;        /* 1 or 2 */
} t_kv_proxy;

/* one decomposition on the worker thread */
typedef struct _kv_job {
    pthread_t thread;
    bool running;      /* started and not yet joined (main thread) */
    atomic_int stop;   /* set by the main thread; the progress callback reads it */
    atomic_int done;   /* set by the worker when status is final */
    atomic_int rounds; /* rounds finished so far */
    atomic_int total;  /* rounds in all */
    kve_status status; /* the engine's answer */
    int K;             /* components asked for */
    kve_start start;   /* rand() or a seed */
    bool sendLists;    /* "decomp" rather than "decompNoOut" */
} t_kv_job;

struct _korvane {
    t_object ob;                 /* Pd header, first */
    kve_engine eng;              /* sound, analysis, factors, mask, output */
    t_symbol *inName;            /* array(s) last loaded; names the output */
    bool stereo;                 /* loaded from NAME-l and NAME-r */
    t_outlet *actOutlet;         /* left: activation lists */
    t_outlet *baseOutlet;        /* middle: basis lists as -log(1 + w) */
    t_outlet *doneOutlet;        /* right: bang after a resynthesis */
    long K;                      /* components asked for by a number */
    int inletNum;                /* inlet of the message being handled */
    t_kv_proxy proxy1;           /* inlet 1: activation lists */
    t_kv_proxy proxy2;           /* inlet 2: basis lists and bang */
    double *actList;             /* held activation, actCount values */
    double *baseList;            /* held basis, baseCount values */
    long actCount;               /* values held in actList */
    long baseCount;              /* values held in baseList */
    bool baseLenError;           /* last basis list had the wrong length */
    bool seeded;                 /* "seed N" given: every decomposition starts from seed */
    unsigned seed;               /* the seed */
    bool pendingWin, pendingHop; /* settings that arrived during a run */
    float winValue, hopValue;    /* their values */
    t_kv_job job;                /* the running decomposition */
    t_clock *poll;               /* watches the job from the main thread */
    t_symbol *progressTo;        /* receiver of the share of rounds done, or NULL */
    int progressSent;            /* rounds last reported */
    bool sendingLists;           /* the lists are going out */
    int queuedDecomp;            /* asked for meanwhile: 0 none, 1 decompNoOut, 2 decomp */
};

/* every message the Max object posts, the same texts */
#define kv_post(...) post(__VA_ARGS__)
#define kv_error(x, ...) pd_error((x), __VA_ARGS__)

/* arrays.c: "loadBuffer NAME" reads NAME, or NAME-l and NAME-r; 0 or -1 */
int kv_loadArrays(t_korvane *x, t_symbol *name);
/* writes the engine's output into NAME_out (or NAME_out-l and NAME_out-r),
 * resized; 0, or -1 with the name that could not be written in bad */
int kv_writeOutput(t_korvane *x, char *bad, size_t badSize);

/* decomp.c */
int kv_computeSTFT(t_korvane *x);
void kv_startDecomp(t_korvane *x, bool sendLists);
/* stops a running decomposition and waits for the worker; a no-op when none runs */
void kv_stopJob(t_korvane *x);
void kv_sendLists(t_korvane *x);
void kv_pollJob(t_korvane *x);

/* mask.c */
void kv_actListIn(t_korvane *x, int argc, t_atom *argv);
void kv_baseListIn(t_korvane *x, int argc, t_atom *argv);
void kv_addOneMaskLayer(t_korvane *x);
void kv_doResynth(t_korvane *x);

#endif
