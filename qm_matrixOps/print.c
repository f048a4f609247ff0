#include "qm_matrixOps.h"

#include <stddef.h>
#include <stdio.h>

void qm_printMatrix(const double *A, int rows, int cols, int stride)
{
    for (int i = 0; i < rows; i++) {
        for (int j = 0; j < cols; j++)
            printf("%.16f ", A[(ptrdiff_t)i * stride + j]);
        printf(";\n");
    }
}
