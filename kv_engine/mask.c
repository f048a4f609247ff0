/* The mask: one layer per basis and activation pair. */
#include <math.h>
#include <stdbool.h>

#include "kv_engine_private.h"

static bool kve_allFinite(const double *v, long n)
{
    for (long i = 0; i < n; i++)
        if (!isfinite(v[i])) return false;
    return true;
}

kve_status kve_addLayer(kve_engine *e, const double *basis, long bins, const double *act,
                        long actCount)
{
    if (!e->fileLoaded) return KVE_NO_SOUND;
    if (!basis || !act || !e->mask) return KVE_NO_FACTORS;
    long frames = (long)e->numFrames;
    if (bins != (long)e->numBins) return KVE_BAD_LENGTH;

    /* values past the end of a short activation count as 0 */
    long used = actCount < frames ? actCount : frames;
    if (!kve_allFinite(act, used) || !kve_allFinite(basis, bins)) return KVE_NOT_FINITE;
    /* an empty mask is not cleared after a resynthesis: its first layer is
     * written over it, as added to zeros */
    for (long b = 0; b < bins; b++) {
        double w = basis[b];
        double *row = e->mask + b * frames;
        if (e->maskEmpty) {
            for (long t = 0; t < used; t++) row[t] = 0.0 + w * act[t];
            for (long t = used; t < frames; t++) row[t] = 0.0;
        } else {
            for (long t = 0; t < used; t++) row[t] += w * act[t];
        }
    }
    e->maskEmpty = false;
    return KVE_OK;
}

void kve_clearMask(kve_engine *e)
{
    e->maskEmpty = true;
}
