/* The β-divergence and the model's estimate. (to be written) */
#include <math.h>

#include "model_internal.h"

double kve_betaDivergence(double beta, const float *V, const double *W, const double *H, int rows,
                          int frames, int K, int span)
{
    (void)beta, (void)V, (void)W, (void)H, (void)rows, (void)frames, (void)K, (void)span;
    return NAN;
}

double kve_modelEstimate(const kve_model *m, const float *V, const double *W, const double *H,
                         int rows, int frames, int K)
{
    (void)m, (void)V, (void)W, (void)H, (void)rows, (void)frames, (void)K;
    return NAN;
}
