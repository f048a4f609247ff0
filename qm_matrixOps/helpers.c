/* Small helpers beside the matrix work: a distance, a random permutation
 * and a printout. */
#include "qm_matrixOps.h"

#include <math.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>

double qm_euclDist(const double *a, const double *b, int n)
{
    double sum = 0.0;
    for (int i = 0; i < n; i++)
        sum += pow(a[i] - b[i], 2.0);
    return sqrt(sum);
}

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

void qm_printMatrix(const double *A, int rows, int cols, int stride)
{
    for (int i = 0; i < rows; i++) {
        for (int j = 0; j < cols; j++)
            printf("%.16f ", A[(ptrdiff_t)i * stride + j]);
        printf(";\n");
    }
}
