/* Resynthesis: the engine's, through the mask, into the buffer~ named after
 * the input with "_out" appended. */
#include <stdio.h>

#include "korvane_private.h"

/* the output buffer~ with room for two channels of n frames, locked; NULL
 * when it cannot be had */
static float *kv_lockOutput(t_korvane *x, int n, t_buffer_obj **bufOut)
{
    t_buffer_ref *ref = buffer_ref_new((t_object *)x, x->outBufName);
    if (x->outBufRef) object_free(x->outBufRef);
    x->outBufRef = ref;
    t_buffer_obj *b = ref ? buffer_ref_getobject(ref) : NULL;
    if (!b) return NULL;
    if (buffer_getchannelcount(b) != 2 || buffer_getframecount(b) < n) {
        if (buffer_resize(b, 2, n) != MAX_ERR_NONE) return NULL;
        if (buffer_getchannelcount(b) != 2 || buffer_getframecount(b) < n) return NULL;
    }
    *bufOut = b;
    return buffer_locksamples(b);
}

void kv_doResynth(t_korvane *x)
{
    kve_engine *e = &x->eng;
    if (!e->fileLoaded) {
        object_error(NULL, "Resynthesis error: no file was loaded");
        return;
    }
    if (!e->decompValid || !e->W || !e->H || !e->mask) {
        object_error(NULL, "Resynthesis error: no decomposition of the loaded sound");
        return;
    }
    char name[256];
    int len = snprintf(name, sizeof name, "%s_out", x->inBufName->s_name);
    if (len < 0 || (size_t)len >= sizeof name) {
        object_error(NULL, "Resynthesis error: buffer name too long");
        return;
    }
    kve_status st = kve_resynthesise(e);
    if (st != KVE_OK) {
        object_error(NULL, st == KVE_NOT_FINITE ? "Resynthesis error: result is not finite"
                                                : "Resynthesis error: out of memory");
        return;
    }

    int n = e->numSamples;
    x->outBufName = gensym(name);
    t_buffer_obj *b = NULL;
    float *samples = kv_lockOutput(x, n, &b);
    if (!samples) {
        kve_dropOutput(e);
        object_error(NULL, "Resynthesis error: cannot write to buffer %s", name);
        return;
    }
    const double *right = e->numChannels > 1 ? e->outR : e->outL;
    for (int i = 0; i < n; i++) {
        samples[2 * (size_t)i] = (float)e->outL[i];
        samples[2 * (size_t)i + 1] = (float)right[i];
    }
    buffer_unlocksamples(b);
    buffer_setdirty(b);

    /* the composition is consumed only once it has been written; the next
     * layer starts the mask afresh */
    kve_clearMask(e);
    outlet_bang(x->doneOutlet);
}

static void kv_bangDeferred(t_korvane *x, t_symbol *s, short argc, t_atom *argv)
{
    (void)s;
    (void)argc;
    (void)argv;
    if (!x->eng.maskEmpty) kv_doResynth(x);
}

void korvane_bangIn(t_korvane *x)
{
    if (proxy_getinlet((t_object *)x) != 2) return;
    defer(x, KV_METHOD(kv_bangDeferred), NULL, 0, NULL);
}
