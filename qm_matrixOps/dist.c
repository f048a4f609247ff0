#include "qm_matrixOps.h"

#include <math.h>

double qm_euclDist(const double *a, const double *b, int n)
{
    double sum = 0.0;
    for (int i = 0; i < n; i++)
        sum += pow(a[i] - b[i], 2.0);
    return sqrt(sum);
}
