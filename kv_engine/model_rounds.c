/* The model's rounds. (to be written) */
#include "model_internal.h"

int kve_modelRounds(const kve_model *m, const float *V, int rows, int frames, int K, double *W,
                    double *H, int n, int (*onRound)(int, int, void *), void *user)
{
    if (m->span > 1) return kve_convolutiveRounds(m, V, rows, frames, K, W, H, n, onRound, user);
    return -1;
}
