/* Shared by the engine's own files. */
#ifndef KV_ENGINE_PRIVATE_H
#define KV_ENGINE_PRIVATE_H

#include "kv_engine.h"

/* W (bins x K) then H (K x frames) from start; NULL draws from rand() */
void kve_fillStart(const kve_start *start, int bins, int frames, int K, double *W, double *H);

/* give back the analysis (and its setup), or the factors (with their order
 * and model), marking them stale */
void kve_dropAnalysis(kve_engine *e);
void kve_dropFactors(kve_engine *e);

#endif
