/* korvane's engine: the one C API its front ends share (the korvane~ object,
 * the command line, the Pd external and the Python module). It holds every
 * DSP decision and prints nothing; a front end keeps only its host's
 * conventions (messages, options and exit codes, exceptions).
 *
 * Two pipelines, one status enum (kve_status, KVE_OK = 0) and one style:
 *  - in memory (this header, the kve_engine record): the object's. The sound
 *    held in the record, its STFT, the factorisation of the magnitude of the
 *    channels' sum, the centroid order, a mask built from layers and the
 *    resynthesis through mask / (W.H + QM_WIENER_FLOOR). Frozen: its results
 *    stay the same bit for bit.
 *  - streamed and level-true (kv_stream.h, included at the end): the command
 *    line's. A sound of any length pulled from a block source, V written into
 *    the caller's array, the rounds checked against a tolerance, ratio masks
 *    whose outputs sum to the sound, samples handed to a sink.
 *
 * A front end:
 *  1. gives a sound: in memory, kve_loadSound; or as a block source, kve_source;
 *  2. sets the settings: the record's kve_settings (then kve_settingsChanged),
 *     or the window, hop and channel mode given to kve_streamShapeOf;
 *  3. analyses: kve_analyse; or kve_streamShapeOf, then kve_streamAnalyseFloat;
 *  4. factorises: kve_factorize; or kve_nndsvdaStart (or kve_randomStart),
 *     then kve_streamFactorise; with bands (kve_bandLayout) kve_bandStart,
 *     then kve_streamFactorise given them. Both call a kve_progressFn after
 *     each round;
 *     a non-zero return stops the work with KVE_STOPPED;
 *  5. reads the components: kve_basis, kve_activation and the list form
 *     (kve_encodeBasis, kve_decodeBasis); or kve_orderComponents,
 *     kve_activationScale, kve_componentForm and kve_energyShares;
 *  6. resynthesises any set of groups into a sink: layers (kve_addLayer) then
 *     kve_resynthesise, the samples in the record; or kve_streamResynth with
 *     one kve_output per group and a kve_sink.
 * Memory: the engine reads no limit of its own. A front end picks one cap for
 * the run and, before a streamed run, checks kve_fitsMemory(kve_runMemory()
 * plus what it holds itself, cap).
 * Ownership: the record owns every array in it (NULL when absent) and
 * kve_free gives them back; a failed call leaves the record as it was. The
 * streamed calls keep nothing past their return: V, W, H and the samples
 * are the caller's.
 * Threads: a record is used by one thread at a time. The streamed calls share
 * no state and may run on any thread; sources, sinks and progress callbacks
 * are called on the thread that made the call, even when the work is split
 * over two threads.
 * Matrices are row-major: bins x frames holds bin b of frame t at
 * b * frames + t. */
#ifndef KV_ENGINE_H
#define KV_ENGINE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdlib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- shared by both pipelines ---- */

typedef enum kve_status {
    KVE_OK = 0,
    KVE_WINDOW_TOO_SHORT, /* window under 2 samples (or not finite) */
    KVE_HOP_TOO_SHORT,    /* hop under 1 sample */
    KVE_SOUND_TOO_SHORT,  /* not one whole frame */
    KVE_TOO_MANY_FRAMES,  /* over settings.maxFrames */
    KVE_TOO_MANY_BINS,    /* over settings.maxBins */
    KVE_NO_MEMORY,
    KVE_NOT_FINITE,          /* a sample, list value or result is not finite */
    KVE_NO_SOUND,            /* nothing loaded */
    KVE_NO_ANALYSIS,         /* no current STFT of the sound */
    KVE_NO_FACTORS,          /* no current factorisation */
    KVE_BAD_COMPONENTS,      /* fewer than 1 component */
    KVE_TOO_MANY_COMPONENTS, /* bins x K or K x frames would not fit an int */
    KVE_BAD_LENGTH,          /* a basis of another length than the bins */
    KVE_STOPPED,             /* the progress callback asked to stop */
    KVE_SOUND_TOO_LONG,      /* more samples than an int counts */
    /* the streamed pipeline's own refusals */
    KVE_BAD_ARGUMENT,  /* null pointer, bad count, component index out of range,
                        * W or H negative or not finite */
    KVE_HOP_TOO_LONG,  /* hop leaves samples too thinly covered to resynthesise */
    KVE_TOO_LARGE,     /* counts beyond what the sizes can hold */
    KVE_SOURCE_FAILED, /* the source callback returned nonzero */
    KVE_SINK_FAILED    /* the sink callback returned nonzero */
} kve_status;

enum { KVE_EUCLIDEAN = 0, KVE_KULLBACK_LEIBLER = 1 };

typedef struct kve_settings {
    float window;     /* analysis window, seconds */
    float overlap;    /* fraction shared by successive windows; hop = 1 - overlap */
    int cost;         /* KVE_EUCLIDEAN or KVE_KULLBACK_LEIBLER */
    int iterations;   /* multiplicative update rounds */
    double maxFrames; /* largest frame count accepted; 0: no limit */
    double maxBins;   /* largest bin count accepted; 0: no limit */
} kve_settings;

/* the object's defaults: 0.08 s, hop a quarter of the window, 100
 * Kullback-Leibler rounds, at most 10000 frames and 8200 bins */
kve_settings kve_defaultSettings(void);

/* ---- the in-memory pipeline: the object's ---- */

/* what the shape function is given */
typedef struct kve_shapeInput {
    float window;  /* seconds */
    float overlap; /* as in kve_settings */
    double sampleRate;
    double numSamples; /* samples per channel */
    double maxFrames;  /* 0: no limit */
    double maxBins;    /* 0: no limit */
} kve_shapeInput;

/* an accepted analysis */
typedef struct kve_shape {
    int fftSize; /* the window rounded up to a power of two */
    int hop;     /* samples */
    int frames;
    int bins; /* fftSize / 2 + 1 */
} kve_shape;

/* the numbers as derived, accepted or not (a message shows them), and
 * those a refusal needs */
typedef struct kve_shapeDetail {
    double fftSize, hop, frames, bins;
    double limit;     /* the frame or bin limit that was passed */
    double length;    /* the sound's length, samples */
    double fitWindow; /* seconds: the longest window that would fit the
                       * refused sound or limit, 0 when none would */
} kve_shapeDetail;

/* FFT size, hop, frames and bins for a window, overlap, rate and length.
 * Pure. KVE_OK with *shape filled, or the refusal (checked in the order of
 * the codes); *detail is filled either way (either may be NULL). */
kve_status kve_shapeOf(const kve_shapeInput *in, kve_shape *shape, kve_shapeDetail *detail);

/* a place to start the factorisation from */
typedef enum { KVE_START_RAND, KVE_START_SEEDED, KVE_START_GIVEN } kve_startKind;
typedef struct kve_start {
    kve_startKind kind;
    unsigned seed;       /* KVE_START_SEEDED: the sequence srand(seed) gives
                          * rand(), from a private state */
    const double *W, *H; /* KVE_START_GIVEN: bins x K and K x frames */
} kve_start;
/* KVE_START_RAND draws from rand() itself, as qm_initNMF does */

/* called after each round with done = 1..total, on the calling thread;
 * non-zero asks to stop (both pipelines) */
typedef int (*kve_progressFn)(int done, int total, void *user);

typedef struct kve_engine {
    kve_settings settings;

    /* the sound: channel 0 and, for two or more channels, channel 1 */
    double *sigL, *sigR;
    int numSamples;  /* samples per channel */
    int numChannels; /* channels of the source */
    double sr;       /* Hz */
    bool fileLoaded;

    /* the analysis of the sound with the settings it was made with */
    double *stftReL, *stftImL; /* bins x frames */
    double *stftReR, *stftImR; /* second channel only */
    void *fftSetup;            /* the FFT setup the STFT was made with */
    int fftSize, hopSize;
    long numBins, numFrames;
    bool stftValid;

    /* the factorisation of that analysis */
    double *W;            /* bins x factK */
    double *H;            /* factK x frames, largest value 1 */
    unsigned long *order; /* components by descending centroid */
    int factK;
    bool decompValid;
    double *model; /* W.H, made by the first resynthesis */

    /* the mask: layers added since the last resynthesis */
    double *mask;   /* bins x frames */
    bool maskEmpty; /* no layer yet: the next one writes over it */

    /* the last resynthesis */
    double *outL, *outR; /* outLength values; outR for two channels */
    int outLength;
} kve_engine;

/* an empty record with the default settings; kve_free gives back all it holds */
void kve_init(kve_engine *e);
void kve_free(kve_engine *e);

/* copies channels 0 and 1 of interleaved samples (channels x frames) and
 * makes every later stage stale. KVE_NO_MEMORY, KVE_NOT_FINITE or KVE_OK. */
kve_status kve_loadSound(kve_engine *e, const float *samples, int channels, int frames,
                         double rate);
/* marks the analysis stale after a change of settings */
void kve_settingsChanged(kve_engine *e);

/* the shape from the settings and the sound, then the STFT of each channel;
 * a new analysis discards the factors (and a mask of another shape). *detail
 * is filled whenever a sound is loaded (may be NULL). */
kve_status kve_analyse(kve_engine *e, kve_shapeDetail *detail);
/* V (bins x frames) = |STFT of channel 0 + STFT of channel 1| (channel 0
 * alone for one channel). KVE_NO_ANALYSIS, KVE_NO_MEMORY or KVE_OK. */
kve_status kve_magnitude(const kve_engine *e, double *V);

/* the status kve_factorize would refuse K with before any work */
kve_status kve_checkComponents(const kve_engine *e, int K);
/* K components of the magnitude with the settings' cost and rounds, from
 * start, then the order by descending centroid, H scaled to a largest value
 * of 1 and an empty mask. Nothing in the record changes unless it returns
 * KVE_OK; KVE_STOPPED when progress asked to stop (progress may be NULL). */
kve_status kve_factorize(kve_engine *e, int K, const kve_start *start, kve_progressFn progress,
                         void *user);

/* component k (0-based, in W's own order) in plain form: basis (bins) and
 * activation (frames) */
void kve_basis(const kve_engine *e, int k, double *w);
void kve_activation(const kve_engine *e, int k, double *h);
/* the list form of a basis, v = -log(1 + w), and back, w = exp(-v) - 1
 * with values below 0 taken as 0 */
void kve_encodeBasis(const double *w, long n, double *v);
void kve_decodeBasis(const double *v, long n, double *w);

/* adds basis (bins values) x activation (actCount values; those past the
 * frames are ignored, missing ones count as 0) to the mask. KVE_NO_SOUND,
 * KVE_NO_FACTORS, KVE_BAD_LENGTH, KVE_NOT_FINITE or KVE_OK. */
kve_status kve_addLayer(kve_engine *e, const double *basis, long bins, const double *act,
                        long actCount);
/* the mask has been used: the next layer starts it afresh */
void kve_clearMask(kve_engine *e);
/* each channel's STFT through mask / (W.H + QM_WIENER_FLOOR) into outL
 * (and outR), scaled to a peak of QM_CLIP_GAIN when it reaches 1. The
 * mask is kept; on failure the output is dropped (and the model too when
 * memory is short). KVE_NO_SOUND, KVE_NO_FACTORS, KVE_NO_MEMORY,
 * KVE_NOT_FINITE or KVE_OK. */
kve_status kve_resynthesise(kve_engine *e);
/* gives back the output channels, or the model */
void kve_dropOutput(kve_engine *e);
void kve_dropModel(kve_engine *e);

/* allocation for the engine and its callers; a test can make it fail: after
 * n more successful allocations every one fails, n < 0 switches it off */
void *kve_malloc(size_t n);
void *kve_calloc(size_t count, size_t size);
void kve_setAllocFailure(long n);
/* asks that a new, untouched buffer of n bytes be backed by large pages
 * where the system offers them: filling it then costs far fewer page
 * faults. Contents and ownership are unchanged; small buffers are left. */
void kve_adviseLarge(void *p, size_t n);

/* frees *p and sets it to NULL */
#define KVE_RELEASE(p) (free(p), (p) = NULL)

#ifdef __cplusplus
}
#endif

#include "kv_stream.h"

#endif
