/* Spectral centroid, kurtosis and frame-wise RMS. */
#include "qm_audio.h"

#include <math.h>
#include <stddef.h>

double qm_spectralCentroid(const double *v, int n)
{
    double s = 0.0, m = 0.0;
    for (int i = 0; i < n; i++)
        s += v[i];
    for (int i = 0; i < n; i++)
        m += (double)(i + 1) * v[i];
    return m / s; /* bins counted from 1; 0/0 for no mass */
}

double qm_kurtosis(const double *x, int n)
{
    if (n <= 0)
        return NAN; /* 0/0, as the moments of no values */
    double mu;
    vDSP_meanvD(x, 1, &mu, (vDSP_Length)n);
    double m4 = 0.0, m2 = 0.0;
    for (int i = 0; i < n; i++)
        m4 += pow(x[i] - mu, 4.0);
    m4 /= (double)n;
    for (int i = 0; i < n; i++)
        m2 += pow(x[i] - mu, 2.0);
    m2 /= (double)n;
    return m4 / pow(m2, 2.0);
}

void qm_RMS(const double *x, int L, int N, int hop, double *out)
{
    if (L < 0 || hop < 0)
        return;
    /* squares summed straight from the signal: no copy of the frame */
    for (int f = 0; f < N; f++) {
        vDSP_svesqD(x + (size_t)f * (size_t)hop, 1, &out[f], (vDSP_Length)L);
        out[f] = sqrt(out[f] / (double)L);
    }
}
