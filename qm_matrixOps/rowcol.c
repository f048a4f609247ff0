/* Copies of single rows and columns, the column-row outer product and the
 * linear index split. */
#include "qm_matrixOps.h"

#include <math.h>
#include <stddef.h>

void qm_getRow(const double *A, int n, vDSP_Length r, double *dst)
{
    if (n <= 0)
        return;
    const double *row = A + (size_t)r * (size_t)n;
    for (int j = 0; j < n; j++)
        dst[j] = row[j];
}

void qm_putRow(double *A, int n, vDSP_Length r, const double *src)
{
    if (n <= 0)
        return;
    double *row = A + (size_t)r * (size_t)n;
    for (int j = 0; j < n; j++)
        row[j] = src[j];
}

void qm_getCol(const double *A, int m, int n, vDSP_Length j, double *dst)
{
    if (n <= 0)
        return;
    for (int i = 0; i < m; i++)
        dst[i] = A[(size_t)i * (size_t)n + j];
}

void qm_putCol(double *A, int m, int n, vDSP_Length j, const double *src)
{
    if (n <= 0)
        return;
    for (int i = 0; i < m; i++)
        A[(size_t)i * (size_t)n + j] = src[i];
}

/* Each destination row is the chosen row of B scaled by one element of the
 * chosen column of A: a single product per element, so no scratch is needed. */
void qm_colRowOuterProd(const double *A, const double *B, int mA, int nA, int nB, vDSP_Length colA,
                        vDSP_Length rowB, double *dst)
{
    if (nA <= 0 || nB <= 0)
        return;
    const double *brow = B + (size_t)rowB * (size_t)nB;
    for (int i = 0; i < mA; i++) {
        double a = A[(size_t)i * (size_t)nA + colA];
        vDSP_vsmulD(brow, 1, &a, dst + (size_t)i * (size_t)nB, 1, (vDSP_Length)nB);
    }
}

void qm_ind2sub(int rows, int cols, int k, int *row, int *col)
{
    (void)rows;
    if (cols <= 0)
        return;
    int c = (int)fmod((double)k, (double)cols);
    *row = (k - c) / cols;
    *col = c;
}
