/* korvane~: class registration, creation and deletion, the signal-chain hooks
 * and the three setting messages. */
#include <stdlib.h>

#include "korvane_private.h"

t_class *korvane_class = NULL;
int FFTSize = 4096;
int maxActSize = 10000;
int maxBaseSize = 8200;
int myNmfType = 1;
int it = 100;

int main(void)
{
    t_class *c = class_new("korvane~", KV_METHOD(korvane_new), KV_METHOD(korvane_free),
                           (long)sizeof(t_korvane), NULL, A_GIMME, 0);

    class_addmethod(c, KV_METHOD(korvane_dsp64), "dsp64", A_CANT, 0);
    class_addmethod(c, KV_METHOD(korvane_K), "int", A_LONG, 0);
    class_addmethod(c, KV_METHOD(korvane_decomp), "decomp", A_DEFSYM, 0);
    class_addmethod(c, KV_METHOD(korvane_decompNoOut), "decompNoOut", A_DEFSYM, 0);
    class_addmethod(c, KV_METHOD(korvane_loadBuffer), "loadBuffer", A_DEFSYM, 0);
    class_addmethod(c, KV_METHOD(korvane_listIn), "list", A_GIMME, 0);
    class_addmethod(c, KV_METHOD(korvane_bangIn), "bang", A_DEFSYM, 0);
    class_addmethod(c, KV_METHOD(korvane_setWin), "setWin", A_FLOAT, 0);
    class_addmethod(c, KV_METHOD(korvane_setHop), "setHop", A_FLOAT, 0);

    class_dspinit(c);
    class_register(gensym("box"), c);
    korvane_class = c;
    return 0;
}

void *korvane_new(t_symbol *s, long argc, t_atom *argv)
{
    (void)s;
    (void)argc;
    (void)argv;   /* creation arguments change nothing */
    t_korvane *x = (t_korvane *)object_alloc(korvane_class);

    if (x) {
        z_dsp_setup(&x->ob, 1);
        x->proxy2 = proxy_new(x, 2, &x->inletNum);
        x->proxy1 = proxy_new(x, 1, &x->inletNum);
        x->doneOutlet = bangout(x);
        x->baseOutlet = listout(x);
        x->actOutlet = listout(x);

        x->inBufRef = NULL;
        x->inBufName = NULL;
        x->outBufRef = NULL;
        x->outBufName = NULL;
        x->K = 0;
        x->numBins = 0;
        x->numFrames = 0;
        x->sigL = x->sigR = NULL;
        x->actList = x->baseList = NULL;
        x->W = x->H = NULL;
        x->baseOrder = x->actOrder = NULL;
        x->stftReL = x->stftImL = x->stftReR = x->stftImR = NULL;
        x->numSamples = 0;
        x->hopSize = 0;
        x->numChannels = 0;
        x->fftSetup = NULL;
        x->outL = x->outR = NULL;
        x->outLength = 0;
        x->model = NULL;
        x->mask = NULL;
        x->sr = 0.0;
        /* false, so a bang before any decomposition reports what is missing */
        x->maskEmpty = false;
        x->fileLoaded = false;
        x->stftValid = false;
        x->baseLenError = false;
        x->winLength = 0.08f;
        x->overlap = 0.75f;
        x->fftSize = 0;
        x->factK = 0;
        x->decompValid = false;
        x->actCount = 0;
        x->baseCount = 0;
    }
    object_post(NULL, "korvane~ external loaded. v0.4 by the korvane team, 2026");
    return x;
}

static void kv_release(double **p)
{
    free(*p);
    *p = NULL;
}

void korvane_free(t_korvane *x)
{
    z_dsp_free(&x->ob);
    if (x->inBufRef) object_free(x->inBufRef);
    if (x->outBufRef) object_free(x->outBufRef);
    x->inBufRef = x->outBufRef = NULL;
    if (x->proxy1) object_free(x->proxy1);
    if (x->proxy2) object_free(x->proxy2);
    x->proxy1 = x->proxy2 = NULL;
    if (x->fftSetup) vDSP_destroy_fftsetupD(x->fftSetup);
    x->fftSetup = NULL;

    kv_release(&x->sigL);
    kv_release(&x->sigR);
    kv_release(&x->actList);
    kv_release(&x->baseList);
    kv_release(&x->W);
    kv_release(&x->H);
    kv_release(&x->stftReL);
    kv_release(&x->stftImL);
    kv_release(&x->stftReR);
    kv_release(&x->stftImR);
    kv_dropOutput(x);
    kv_dropModel(x);
    kv_release(&x->mask);
    free(x->baseOrder);
    free(x->actOrder);
    x->baseOrder = x->actOrder = NULL;
}

void korvane_dsp64(t_korvane *x, t_object *dsp64, short *count, double samplerate,
                   long maxvectorsize, long flags)
{
    (void)count;
    (void)samplerate;
    (void)maxvectorsize;
    (void)flags;
    object_method_imp(dsp64, gensym("dsp_add64"), x, (void *)korvane_perform64,
                      0, 0, 0, 0, 0, 0);
}

void korvane_perform64(t_korvane *x, t_object *dsp64, double **ins, long numins,
                       double **outs, long numouts, long sampleframes, long flags,
                       void *userparam)
{
    /* the signal inlet exists for patching only */
    (void)x;
    (void)dsp64;
    (void)ins;
    (void)numins;
    (void)outs;
    (void)numouts;
    (void)sampleframes;
    (void)flags;
    (void)userparam;
}

void korvane_K(t_korvane *x, long n)
{
    x->K = n;
    object_post(NULL, "number of components set to %u", (unsigned)x->K);
}

void korvane_setWin(t_korvane *x, double v)
{
    x->winLength = (float)v;
    x->stftValid = false;
}

void korvane_setHop(t_korvane *x, double v)
{
    x->overlap = 1.0f - (float)v;
    x->stftValid = false;
}
