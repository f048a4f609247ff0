/* STFT stage: the engine's analysis, with the object's console lines. */
#include "korvane_private.h"

/* the two lines of each refusal of the analysis shape */
static void kv_shapeRefused(kve_status st)
{
    switch (st) {
    case KVE_WINDOW_TOO_SHORT:
        object_error(NULL,
                     "Error: window will be shorter than 2 samples. Try one of the following:");
        object_error(NULL, "Increase window length, check the sampling rate of the buffer.");
        break;
    case KVE_HOP_TOO_SHORT:
        object_error(NULL, "Error: hop will be shorter than 1 sample. Try one of the following:");
        object_error(NULL, "Increase hop, increase window length.");
        break;
    case KVE_SOUND_TOO_SHORT:
        object_error(NULL, "Error: sound is too short for this window. Try one of the following:");
        object_error(NULL, "Load a longer sound, reduce window length.");
        break;
    case KVE_TOO_MANY_FRAMES:
        object_error(NULL,
                     "Error: activations will exceed maximum length. Try one of the following:");
        object_error(NULL, "Reduce file length, increase window length, increase hop.");
        break;
    case KVE_TOO_MANY_BINS:
        object_error(NULL, "Error: bases will exceed maximum length. Try one of the following:");
        object_error(NULL, "Reduce window length, reduce sampling rate.");
        break;
    default:
        object_error(NULL, "Error: out of memory.");
        break;
    }
}

int kv_computeSTFT(t_korvane *x)
{
    kv_syncSettings(x);
    kve_shapeDetail d = {0};
    kve_status st = kve_analyse(&x->eng, &d);
    if (st == KVE_NO_SOUND) return -1;
    object_post(NULL, "winlength = %f, FFTsize = %.0f, hop = %.0f, frames = %.0f",
                (double)x->eng.settings.window, d.fftSize, d.hop, d.frames);
    if (st != KVE_OK) {
        kv_shapeRefused(st);
        return -1;
    }
    FFTSize = x->eng.fftSize;
    object_post(NULL, "STFT computed");
    return 0;
}
