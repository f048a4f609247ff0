/* Starting points of the factorisation. */
#define _DEFAULT_SOURCE /* initstate_r, random_r */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "kv_engine_private.h"
#include "kv_stream.h"

/* All of W, then all of H, in storage order, from a private generator that
 * gives the sequence srand(seed) gives rand(): the C library's rand() is its
 * random() on the default 128-byte state, so nothing global is touched. */
static void kve_seededStart(unsigned seed, size_t nW, size_t nH, double *W, double *H)
{
    struct random_data rd;
    char state[128];
    memset(&rd, 0, sizeof rd);
    memset(state, 0, sizeof state);
    initstate_r(seed, state, sizeof state, &rd);
    for (size_t i = 0; i < nW + nH; i++) {
        int32_t r = 0;
        random_r(&rd, &r);
        double v = r / QM_RAND_SCALE;
        if (i < nW)
            W[i] = v;
        else
            H[i - nW] = v;
    }
}

void kve_fillStart(const kve_start *start, int bins, int frames, int K, double *W, double *H)
{
    size_t nW = (size_t)bins * (size_t)K, nH = (size_t)K * (size_t)frames;
    if (start && start->kind == KVE_START_GIVEN) {
        memcpy(W, start->W, nW * sizeof *W);
        memcpy(H, start->H, nH * sizeof *H);
    } else if (start && start->kind == KVE_START_SEEDED) {
        kve_seededStart(start->seed, nW, nH, W, H);
    } else {
        qm_initNMF(bins, frames, K, W, H);
    }
}

void kve_randomStart(unsigned seed, int rows, int frames, int K, double *W, double *H)
{
    kve_seededStart(seed, (size_t)rows * (size_t)K, (size_t)K * (size_t)frames, W, H);
}
