/* What the model files share inside the engine. */
#ifndef KV_MODEL_INTERNAL_H
#define KV_MODEL_INTERNAL_H

#include "kv_engine_private.h"

/* kve_modelRounds for span > 1 (model_convolutive.c) */
int kve_convolutiveRounds(const kve_model *m, const float *V, int rows, int frames, int K,
                          double *W, double *H, int n, int (*onRound)(int, int, void *),
                          void *user);

#endif
