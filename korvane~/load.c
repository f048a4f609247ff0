/* "loadBuffer": copies channels 0 and 1 of a buffer~ into the record. */
#include <limits.h>

#include "korvane_private.h"

static void kv_loadDeferred(t_korvane *x, t_symbol *s, short argc, t_atom *argv)
{
    (void)argc;
    (void)argv;
    kv_loadBuffer(x, s);
}

void korvane_loadBuffer(t_korvane *x, t_symbol *s)
{
    defer(x, KV_METHOD(kv_loadDeferred), s, 0, NULL);
}

int kv_loadBuffer(t_korvane *x, t_symbol *name)
{
    if (!name) name = gensym("");
    t_buffer_ref *ref = buffer_ref_new((t_object *)x, name);
    t_buffer_obj *b = ref ? buffer_ref_getobject(ref) : NULL;
    t_atom_long channels = 0, frames = 0;
    double rate = 0.0;

    if (b) {
        channels = buffer_getchannelcount(b);
        frames = buffer_getframecount(b);
        rate = buffer_getsamplerate(b);
    }
    object_post(NULL, "read buffer: %ld channels, %ld samples, %f sr", (long)channels, (long)frames,
                rate);

    /* the sample index frame * channels + channel must stay a 32-bit count */
    kve_status st = KVE_NO_SOUND;
    float *samples = NULL;
    if (b && channels >= 1 && frames >= 0 && channels <= INT_MAX && frames <= INT_MAX / channels &&
        (samples = buffer_locksamples(b)) != NULL) {
        st = kve_loadSound(&x->eng, samples, (int)channels, (int)frames, rate);
        buffer_unlocksamples(b);
    }
    if (st != KVE_OK) {
        if (st == KVE_NO_MEMORY) {
            object_error(NULL, "Error: out of memory.");
        } else {
            object_error(NULL, "Buffer read error.\n");
            if (st == KVE_NOT_FINITE)
                object_error(NULL, "Error: buffer %s holds samples that are not finite numbers.",
                             name->s_name);
        }
        if (ref) object_free(ref);
        return -1;
    }

    /* the engine now holds this sound and nothing else */
    if (x->inBufRef) object_free(x->inBufRef);
    x->inBufRef = ref;
    x->inBufName = name;
    return 0;
}
