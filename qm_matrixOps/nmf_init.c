#include "qm_matrixOps.h"
#include "scratch.h"

#include <stdlib.h>

/* All of W, then all of H, in storage order: the draw order fixes which
 * value lands where. */
void qm_initNMF(int F, int T, int K, double *W, double *H)
{
    size_t nW = qm_count(F, K), nH = qm_count(K, T);
    for (size_t i = 0; i < nW; i++)
        W[i] = rand() / QM_RAND_SCALE;
    for (size_t i = 0; i < nH; i++)
        H[i] = rand() / QM_RAND_SCALE;
}
