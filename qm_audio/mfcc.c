/* Mel scale, triangular mel filterbank, DCT matrix and MFCC. */
#include "qm_audio.h"

#include <math.h>
#include <stdlib.h>

static const double qm_pi = 3.14159265358979323846;

double qm_freq2mel(double f)
{
    return 1127.0 * log(1.0 + f / 700.0);
}

double qm_mel2freq(double m)
{
    return 700.0 * exp(m / 1127.0) - 700.0;
}

/* row j of the filterbank: the triangle over edges e[j], e[j+1], e[j+2] */
static void fill_triangle(double *row, const double *f, int numBins, const double *e)
{
    const double lo_e = e[0], mid = e[1], hi_e = e[2];
    int lo = 0;
    while (lo < numBins && f[lo] < lo_e)
        lo++;
    int hi = lo - 1;
    while (hi + 1 < numBins && f[hi + 1] < mid)
        hi++;
    for (int k = lo; k <= hi; k++)
        row[k] = (f[k] - lo_e) / (mid - lo_e);
    for (int k = hi + 1; k < numBins && f[k] <= hi_e; k++)
        row[k] = (hi_e - f[k]) / (hi_e - mid);
}

void qm_initMFCC(int numCeps, int numFilters, double sr, int numBins, double minFreq,
                 double maxFreq, double *filterbank, double *dct)
{
    if (!filterbank || !dct || numCeps < 1 || numFilters < 1 || numBins < 2)
        return;
    if (!isfinite(sr) || sr <= 0.0 || !isfinite(minFreq) || !isfinite(maxFreq))
        return;
    const double nyquist = sr / 2.0;
    if (maxFreq > nyquist)
        maxFreq = nyquist;
    if (minFreq < 0.0 || !(minFreq < maxFreq))
        return;

    double *freqs = malloc((size_t)numBins * sizeof(double));
    double *edges = malloc(((size_t)numFilters + 2) * sizeof(double));
    if (!freqs || !edges) {
        free(freqs);
        free(edges);
        return;
    }
    const double start = 0.0, step = nyquist / (numBins - 1);
    vDSP_vrampD(&start, &step, freqs, 1, (vDSP_Length)numBins);

    const double melMin = qm_freq2mel(minFreq), melMax = qm_freq2mel(maxFreq);
    for (int i = 0; i < numFilters + 2; i++)
        edges[i] = qm_mel2freq(melMin + (i * (melMax - melMin)) / (numFilters + 1));

    const double zero = 0.0;
    vDSP_vfillD(&zero, filterbank, 1, (vDSP_Length)numFilters * (vDSP_Length)numBins);
    for (int j = 0; j < numFilters; j++)
        fill_triangle(filterbank + (size_t)j * (size_t)numBins, freqs, numBins, edges + j);

    const double scale = sqrt(2.0 / numFilters);
    for (int i = 0; i < numCeps; i++)
        for (int j = 0; j < numFilters; j++)
            dct[(size_t)i * (size_t)numFilters + (size_t)j] =
                scale * cos(((i * (j + 0.5)) / numFilters) * qm_pi);

    free(freqs);
    free(edges);
}

void qm_MFCC(const double *spectrogram, const double *filterbank, const double *dct, int numBins,
             int numFrames, int numCeps, int numFilters, double *mfcc)
{
    if (numBins < 1 || numFrames < 1 || numCeps < 1 || numFilters < 1)
        return;
    const size_t cells = (size_t)numFilters * (size_t)numFrames;
    double *mel = malloc(cells * sizeof(double));
    if (!mel)
        return;
    vDSP_mmulD(filterbank, 1, spectrogram, 1, mel, 1, (vDSP_Length)numFilters,
               (vDSP_Length)numFrames, (vDSP_Length)numBins);
    for (size_t i = 0; i < cells; i++)
        mel[i] = log(mel[i]); /* no floor: a silent band gives -inf */
    vDSP_mmulD(dct, 1, mel, 1, mfcc, 1, (vDSP_Length)numCeps, (vDSP_Length)numFrames,
               (vDSP_Length)numFilters);
    free(mel);
}
