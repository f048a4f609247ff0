/* korvane~: the object record, its file-scope settings and its stages, glue
 * between the host's messages and buffer~s and the engine in kv_engine/.
 * Every array is owned by the record and NULL when absent. */
#ifndef KORVANE_PRIVATE_H
#define KORVANE_PRIVATE_H

#include <stdbool.h>
#include <stdint.h>

#include "ext.h"
#include "ext_obex.h"
#include "ext_buffer.h"
#include "z_dsp.h"
#include <Accelerate/Accelerate.h>
#include "kv_engine.h"
#include "qm_audio.h"
#include "qm_matrixOps.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _korvane {
    t_pxobject ob;           /* signal-object header; must come first */
    kve_engine eng;          /* sound, analysis, factors, mask, output */
    t_buffer_ref *inBufRef;  /* reference to the input buffer~ */
    t_symbol *inBufName;     /* name of the input buffer~ */
    t_buffer_ref *outBufRef; /* reference to the output buffer~ */
    t_symbol *outBufName;    /* input name with "_out" appended */
    void *actOutlet;         /* left: activation lists */
    void *baseOutlet;        /* middle: basis lists as -log(1 + w) */
    void *doneOutlet;        /* right: bang after a resynthesis */
    int64_t K;               /* components asked for by "int" */
    long inletNum;           /* written by the proxies */
    void *proxy1;            /* inlet 1: activation lists */
    void *proxy2;            /* inlet 2: basis lists and bang */
    double *actList;         /* held activation, actCount values */
    double *baseList;        /* held basis, baseCount values */
    long actCount;           /* values held in actList */
    long baseCount;          /* values held in baseList */
    bool baseLenError;       /* last basis list had the wrong length */
} t_korvane;

/* handlers of every shape travel as the host's generic method type */
#define KV_METHOD(f) ((method)(void (*)(void))(f))

/* file-scope settings, one copy for the bundle */
extern t_class *korvane_class;
extern int FFTSize;     /* written by every STFT; nothing sizes from it */
extern int maxActSize;  /* largest frame count accepted */
extern int maxBaseSize; /* largest bin count accepted */
extern int myNmfType;   /* 0 Euclidean, 1 Kullback-Leibler */
extern int it;          /* NMF iterations */

/* entry point and handlers the host calls */
#ifndef __cplusplus
int main(void);
#endif
void *korvane_new(t_symbol *s, long argc, t_atom *argv);
void korvane_free(t_korvane *x);
void korvane_dsp64(t_korvane *x, t_object *dsp64, short *count, double samplerate,
                   long maxvectorsize, long flags);
void korvane_perform64(t_korvane *x, t_object *dsp64, double **ins, long numins, double **outs,
                       long numouts, long sampleframes, long flags, void *userparam);
void korvane_K(t_korvane *x, long n);
void korvane_setWin(t_korvane *x, double v);
void korvane_setHop(t_korvane *x, double v);
void korvane_loadBuffer(t_korvane *x, t_symbol *s);
void korvane_decomp(t_korvane *x, t_symbol *s);
void korvane_decompNoOut(t_korvane *x, t_symbol *s);
void korvane_listIn(t_korvane *x, t_symbol *s, long argc, t_atom *argv);
void korvane_bangIn(t_korvane *x);

/* stages over the engine; each reports on the console and leaves the
 * record consistent */

/* the engine's settings from the file-scope ones */
void kv_syncSettings(t_korvane *x);
/* copies the named buffer~ (channels 0 and 1) into the record; 0 or -1 */
int kv_loadBuffer(t_korvane *x, t_symbol *name);
/* FFT size, hop and frames from the settings, then the spectrogram of each
 * channel; commits the analysis only on success. 0, or -1 when refused */
int kv_computeSTFT(t_korvane *x);
/* factorises the spectrogram into K components, returning 0, or -1 when
 * refused (record unchanged) */
int kv_factorize(t_korvane *x);
/* sends the activation lists, then the basis lists, in the engine's order */
void kv_sendLists(t_korvane *x);
/* activation (inlet 1) and basis (inlet 2) lists */
void kv_actListIn(t_korvane *x, t_symbol *s, short argc, t_atom *argv);
void kv_baseListIn(t_korvane *x, t_symbol *s, short argc, t_atom *argv);
/* adds baseList (x) actList to the mask in place, then drops both lists */
void kv_addOneMaskLayer(t_korvane *x);
/* resynthesises through the mask into the buffer~ "<input>_out" */
void kv_doResynth(t_korvane *x);
/* every stage allocates through kve_malloc; a test can make it fail: after n
 * more successful allocations every one fails; n < 0 switches it off */
void kv_setAllocFailure(long n);

#ifdef __cplusplus
}
#endif

#endif
