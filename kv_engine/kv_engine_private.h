/* Shared by the engine's own files. */
#ifndef KV_ENGINE_PRIVATE_H
#define KV_ENGINE_PRIVATE_H

#include "kv_engine.h"

/* W (bins x K) then H (K x frames) from start; NULL draws from rand() */
void kve_fillStart(const kve_start *start, int bins, int frames, int K, double *W, double *H);

#endif
