/* "decomp" and "decompNoOut": checks, the STFT when stale, and the engine's
 * factorisation; "decomp" then sends the lists (output.c). */
#include <limits.h>
#include <stdlib.h>

#include "korvane_private.h"

int kv_factorize(t_korvane *x)
{
    if (x->K < 0) {
        object_error(NULL, "Factorization error: negative number of components selected.");
        return -1;
    }
    if (x->K == 0) {
        object_error(NULL, "Factorization error: 0 components selected.");
        return -1;
    }
    int K = x->K > INT_MAX ? INT_MAX : (int)x->K;
    kve_status st = kve_checkComponents(&x->eng, K);
    if (st == KVE_TOO_MANY_COMPONENTS || (st == KVE_OK && x->K > INT_MAX)) {
        object_error(NULL, "Factorization error: too many components selected.");
        return -1;
    }
    /* the factors belong to the analysis in the record, which must be current */
    if (st != KVE_OK) return -1;

    object_post(NULL, "Factorizing sound with k=%u...", (unsigned)K);
    kv_syncSettings(x);
    kve_start start = {KVE_START_RAND, 0, NULL, NULL}; /* rand(), as the object always has */
    if (kve_factorize(&x->eng, K, &start, NULL, NULL) != KVE_OK) {
        object_error(NULL, "Factorization error: out of memory.");
        return -1;
    }
    object_post(NULL, "done.\n");
    return 0;
}

/* 0 when a fresh factorisation of the loaded sound is in the record */
static int kv_decompose(t_korvane *x)
{
    if (x->K == 0) {
        object_error(NULL, "Factorization error: 0 components selected.");
        return -1;
    }
    if (x->K < 0) {
        object_error(NULL, "Factorization error: negative number of components selected.");
        return -1;
    }
    if (x->K > INT_MAX) {
        object_error(NULL, "Factorization error: too many components selected.");
        return -1;
    }
    if (!x->eng.fileLoaded) {
        object_error(NULL, "Factorization error: no file was loaded");
        return -1;
    }
    if (!x->eng.stftValid && kv_computeSTFT(x) != 0) return -1;
    return kv_factorize(x);
}

static void kv_decompDeferred(t_korvane *x, t_symbol *s, short argc, t_atom *argv)
{
    (void)argc;
    (void)argv;
    (void)s;
    if (kv_decompose(x) == 0) kv_sendLists(x);
}

static void kv_decompNoOutDeferred(t_korvane *x, t_symbol *s, short argc, t_atom *argv)
{
    (void)argc;
    (void)argv;
    (void)s;
    kv_decompose(x);
}

/* the whole handler runs on the main thread, so the lists always follow
 * the factorisation they come from */
void korvane_decomp(t_korvane *x, t_symbol *s)
{
    defer(x, KV_METHOD(kv_decompDeferred), s, 0, NULL);
}

void korvane_decompNoOut(t_korvane *x, t_symbol *s)
{
    defer(x, KV_METHOD(kv_decompNoOutDeferred), s, 0, NULL);
}
