#include "qm_matrixOps.h"

#include <stdlib.h>

/* Forward Fisher-Yates; each step maps one rand() draw onto i..n-1 by
 * equal-width buckets of 0..2^31-1. */
void qm_randperm(int n, vDSP_Length *dst)
{
    for (int i = 0; i < n; i++)
        dst[i] = (vDSP_Length)i;
    for (int i = 0; i < n - 1; i++) {
        int r = rand();
        int bucket = 2147483647 / (n - i) + 1;
        int j = i + r / bucket;
        vDSP_Length t = dst[i];
        dst[i] = dst[j];
        dst[j] = t;
    }
}
