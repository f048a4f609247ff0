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
    (void)argv; /* creation arguments change nothing */
    t_korvane *x = (t_korvane *)object_alloc(korvane_class);

    if (x) {
        z_dsp_setup(&x->ob, 1);
        x->proxy2 = proxy_new(x, 2, &x->inletNum);
        x->proxy1 = proxy_new(x, 1, &x->inletNum);
        x->doneOutlet = bangout(x);
        x->baseOutlet = listout(x);
        x->actOutlet = listout(x);

        kve_init(&x->eng);
        kv_syncSettings(x);
        x->inBufRef = NULL;
        x->inBufName = NULL;
        x->outBufRef = NULL;
        x->outBufName = NULL;
        x->K = 0;
        x->actList = x->baseList = NULL;
        x->actCount = x->baseCount = 0;
        x->baseLenError = false;
        /* false, so a bang before any decomposition reports what is missing */
        x->eng.maskEmpty = false;
    }
    object_post(NULL, "korvane~ external loaded. v0.4 by the korvane team, 2026");
    return x;
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
    kve_free(&x->eng);
    KVE_RELEASE(x->actList);
    KVE_RELEASE(x->baseList);
}

void kv_setAllocFailure(long n)
{
    kve_setAllocFailure(n);
}

void kv_syncSettings(t_korvane *x)
{
    kve_settings *s = &x->eng.settings;
    s->cost = myNmfType == 0 ? KVE_EUCLIDEAN : KVE_KULLBACK_LEIBLER;
    s->iterations = it;
    s->maxFrames = maxActSize;
    s->maxBins = maxBaseSize;
}

void korvane_dsp64(t_korvane *x, t_object *dsp64, short *count, double samplerate,
                   long maxvectorsize, long flags)
{
    (void)count;
    (void)samplerate;
    (void)maxvectorsize;
    (void)flags;
    object_method_imp(dsp64, gensym("dsp_add64"), x, (void *)korvane_perform64, 0, 0, 0, 0, 0, 0);
}

void korvane_perform64(t_korvane *x, t_object *dsp64, double **ins, long numins, double **outs,
                       long numouts, long sampleframes, long flags, void *userparam)
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
    x->eng.settings.window = (float)v;
    kve_settingsChanged(&x->eng);
}

void korvane_setHop(t_korvane *x, double v)
{
    x->eng.settings.overlap = 1.0f - (float)v;
    kve_settingsChanged(&x->eng);
}
