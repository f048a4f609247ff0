/* korvane~: the object record, its file-scope settings and its stages.
 * Matrices are row-major: a bins x frames array holds bin b of frame t at
 * b * frames + t. Every array is owned by the record and NULL when absent. */
#ifndef KORVANE_PRIVATE_H
#define KORVANE_PRIVATE_H

#include <stdbool.h>
#include <stdint.h>

#include "ext.h"
#include "ext_obex.h"
#include "ext_buffer.h"
#include "z_dsp.h"
#include <Accelerate/Accelerate.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _korvane {
    t_pxobject ob;              /* signal-object header; must come first */
    t_buffer_ref *inBufRef;     /* reference to the input buffer~ */
    t_symbol *inBufName;        /* name of the input buffer~ */
    t_buffer_ref *outBufRef;    /* reference to the output buffer~ */
    t_symbol *outBufName;       /* input name with "_out" appended */
    void *actOutlet;            /* left: activation lists */
    void *baseOutlet;           /* middle: basis lists as -log(1 + w) */
    void *doneOutlet;           /* right: bang after a resynthesis */
    int64_t K;                  /* components asked for by "int" */
    long inletNum;              /* written by the proxies */
    void *proxy1;               /* inlet 1: activation lists */
    void *proxy2;               /* inlet 2: basis lists and bang */
    int64_t numBins;            /* bins of the last successful STFT */
    int64_t numFrames;          /* frames of the last successful STFT */
    double *sigL;               /* channel 0, numSamples values */
    double *sigR;               /* channel 1, only for 2+ channels */
    double *actList;            /* held activation, actCount values */
    double *baseList;           /* held basis, baseCount values */
    double *W;                  /* bases, numBins x factK */
    double *H;                  /* activations, factK x numFrames */
    vDSP_Length *baseOrder;     /* components by descending centroid */
    vDSP_Length *actOrder;      /* copy of baseOrder for the activations */
    double *stftReL, *stftImL;  /* STFT of channel 0, numBins x numFrames */
    double *stftReR, *stftImR;  /* STFT of channel 1, 2+ channels only */
    int32_t numSamples;         /* samples per channel of the loaded sound */
    int32_t hopSize;            /* hop of the last successful STFT */
    int32_t numChannels;        /* channels of the loaded buffer~ */
    FFTSetupD fftSetup;         /* setup for fftSize-point transforms */
    double *outL, *outR;        /* resynthesised channels, outLength values */
    double *model;              /* W.H, numBins x numFrames; made by the first
                                 * resynthesis of a factorisation, NULL before */
    double *mask;               /* resynthesis mask, numBins x numFrames */
    double sr;                  /* sample rate of the loaded sound, Hz */
    bool maskEmpty;             /* no layer added to the current mask: its
                                 * values count as 0, the next layer
                                 * writes over them */
    bool fileLoaded;            /* a sound has been loaded */
    bool stftValid;             /* STFT matches the sound and settings */
    bool baseLenError;          /* last basis list had the wrong length */
    float winLength;            /* analysis window, seconds */
    float overlap;              /* overlap fraction of successive windows */

    int32_t fftSize;            /* FFT size of the last successful STFT */
    int32_t factK;              /* components in W, H and the order arrays */
    bool decompValid;           /* W and H factorise the loaded sound */
    long actCount;              /* values held in actList */
    long baseCount;             /* values held in baseList */
    int32_t outLength;          /* samples held in outL (and outR) */
} t_korvane;

/* handlers of every shape travel as the host's generic method type */
#define KV_METHOD(f) ((method)(void (*)(void))(f))

/* file-scope settings, one copy for the bundle */
extern t_class *korvane_class;
extern int FFTSize;             /* written by every STFT; nothing sizes from it */
extern int maxActSize;          /* largest frame count accepted */
extern int maxBaseSize;         /* largest bin count accepted */
extern int myNmfType;           /* 0 Euclidean, 1 Kullback-Leibler */
extern int it;                  /* NMF iterations */

/* entry point and handlers the host calls */
#ifndef __cplusplus
int main(void);
#endif
void *korvane_new(t_symbol *s, long argc, t_atom *argv);
void korvane_free(t_korvane *x);
void korvane_dsp64(t_korvane *x, t_object *dsp64, short *count, double samplerate,
                   long maxvectorsize, long flags);
void korvane_perform64(t_korvane *x, t_object *dsp64, double **ins, long numins,
                       double **outs, long numouts, long sampleframes, long flags,
                       void *userparam);
void korvane_K(t_korvane *x, long n);
void korvane_setWin(t_korvane *x, double v);
void korvane_setHop(t_korvane *x, double v);
void korvane_loadBuffer(t_korvane *x, t_symbol *s);
void korvane_decomp(t_korvane *x, t_symbol *s);
void korvane_decompNoOut(t_korvane *x, t_symbol *s);
void korvane_listIn(t_korvane *x, t_symbol *s, long argc, t_atom *argv);
void korvane_bangIn(t_korvane *x);

/* stages; each reports on the console and leaves the record consistent */

/* copies the named buffer~ (channels 0 and 1) into the record; 0 or -1 */
int kv_loadBuffer(t_korvane *x, t_symbol *name);
/* FFT size, hop and frames from the settings, then the spectrogram of each
 * channel; commits the analysis only on success. 0, or -1 when refused */
int kv_computeSTFT(t_korvane *x);
/* factorises the spectrogram into K components; the symbol is not used */
void korvane_doDecomp(t_korvane *x, t_symbol *s);
/* the same, returning 0, or -1 when refused (record unchanged) */
int kv_factorize(t_korvane *x);
/* W (bins x K), H (K x frames) from the magnitude of re + i im
 * (bins x frames); setup and hop are not used. 0, or -1 out of memory */
int kv_analyze(FFTSetupD setup, int bins, int frames, int hop, const double *re,
               const double *im, int K, double *W, double *H);
/* the same from two channels, through the magnitude of their complex sum
 * (reR and imR NULL for one channel) */
int kv_analyze2(FFTSetupD setup, int bins, int frames, int hop, const double *reL,
                const double *imL, const double *reR, const double *imR, int K, double *W,
                double *H);
/* sends the activation lists, then the basis lists; releases the orders */
void kv_sendLists(t_korvane *x);
/* activation (inlet 1) and basis (inlet 2) lists */
void kv_actListIn(t_korvane *x, t_symbol *s, short argc, t_atom *argv);
void kv_baseListIn(t_korvane *x, t_symbol *s, short argc, t_atom *argv);
/* adds baseList (x) actList to the mask in place, then drops both lists */
void kv_addOneMaskLayer(t_korvane *x);
/* resynthesises through the mask into the buffer~ "<input>_out" */
void kv_doResynth(t_korvane *x);
/* releases the kept model; called wherever W or H change or go */
void kv_dropModel(t_korvane *x);
/* releases the kept output channels */
void kv_dropOutput(t_korvane *x);

/* allocation used by every stage; a test can make it fail */
void *kv_malloc(size_t n);
void *kv_calloc(size_t count, size_t size);
/* after n more successful allocations every one fails; n < 0 switches it off */
void kv_setAllocFailure(long n);

#ifdef __cplusplus
}
#endif

#endif
