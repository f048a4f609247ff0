/* Bands of rows for the first rounds: V and W summed over each band, and
 * W's rows taken back from the bands' spectra. */
#include <stdlib.h>

#include "kv_engine_private.h"

/* the width of the band that starts at bin b */
static int kve_bandWidth(int b, double hz, double fromHz, int bins)
{
    int w = 1;
    while (b * hz >= 2.0 * w * fromHz && w < bins) w *= 2;
    return w;
}

int kve_bandLayout(const kve_streamShape *s, int sampleRate, double fromHz, int *bandOf)
{
    if (!s || !bandOf || !(fromHz > 0.0) || sampleRate < 1 || s->bins < 1 || s->N < 1) return 0;
    const int blocks = s->stacked ? s->channels : 1;
    if (blocks < 1 || s->rows != blocks * s->bins) return 0;
    const double hz = (double)sampleRate / s->N;
    int per = 0;
    for (int b = 0; b < s->bins; per++) b += kve_bandWidth(b, hz, fromHz, s->bins);
    if (per == s->bins) return 0;
    for (int b = 0, g = 0; b < s->bins; g++) {
        const int w = kve_bandWidth(b, hz, fromHz, s->bins);
        for (int i = b; i < b + w && i < s->bins; i++)
            for (int c = 0; c < blocks; c++) bandOf[c * s->bins + i] = c * per + g;
        b += w;
    }
    return blocks * per;
}

int kve_bandsValid(const int *bandOf, int bands, int rows)
{
    if (!bandOf || bands < 1 || bands >= rows || bandOf[0] != 0 || bandOf[rows - 1] != bands - 1)
        return 0;
    for (int r = 1; r < rows; r++)
        if (bandOf[r] != bandOf[r - 1] && bandOf[r] != bandOf[r - 1] + 1) return 0;
    return 1;
}

/* rows r0 .. r0 + n - 1 (n <= 8) each summed in double, in order over the
 * frames: the rows side by side, so that their chains of additions overlap */
static void kve_rowSums(const float *V, size_t T, int r0, int n, double *rowSum)
{
    const float *v[8];
    double s[8] = {0.0};
    for (int i = 0; i < 8; i++) v[i] = V + (size_t)(r0 + (i < n ? i : 0)) * T;
    if (n == 8)
        for (size_t t = 0; t < T; t++)
            for (int i = 0; i < 8; i++) s[i] += v[i][t];
    else
        for (int i = 0; i < n; i++)
            for (size_t t = 0; t < T; t++) s[i] += v[i][t];
    for (int i = 0; i < n; i++) rowSum[r0 + i] = s[i];
}

void kve_bandSums(const float *V, int rows, int frames, const int *bandOf, float *Vb,
                  double *rowSum, double *bandSum, double *acc)
{
    const size_t T = (size_t)frames;
    for (int r = 0; r < rows; r += 8) kve_rowSums(V, T, r, rows - r < 8 ? rows - r : 8, rowSum);
    for (int r = 0; r < rows;) {
        /* a band's rows summed in double, frame by frame in order */
        const int g = bandOf[r];
        for (size_t t = 0; t < T; t++) acc[t] = 0.0;
        bandSum[g] = 0.0;
        for (; r < rows && bandOf[r] == g; r++) {
            const float *v = V + (size_t)r * T;
            for (size_t t = 0; t < T; t++) acc[t] += v[t];
            bandSum[g] += rowSum[r];
        }
        float *o = Vb + (size_t)g * T;
        for (size_t t = 0; t < T; t++) o[t] = (float)acc[t];
    }
}

void kve_bandsOfW(const double *W, int rows, int K, const int *bandOf, int bands, double *Wb)
{
    for (size_t i = 0; i < (size_t)bands * (size_t)K; i++) Wb[i] = 0.0;
    for (int r = 0; r < rows; r++)
        for (int k = 0; k < K; k++) Wb[(size_t)bandOf[r] * K + k] += W[(size_t)r * K + k];
}

void kve_rowsOfBands(const double *Wb, int rows, int K, const int *bandOf, const double *rowSum,
                     const double *bandSum, double *W)
{
    for (int r = 0; r < rows;) {
        const int g = bandOf[r];
        int end = r;
        while (end < rows && bandOf[end] == g) end++;
        const int members = end - r;
        /* each row its share of the band's sum; a silent band's rows evenly */
        for (; r < end; r++) {
            const double share = bandSum[g] > 0.0 ? rowSum[r] / bandSum[g] : 1.0 / members;
            for (int k = 0; k < K; k++) W[(size_t)r * K + k] = Wb[(size_t)g * K + k] * share;
        }
    }
}

int kve_bandsOpen(kve_bandScratch *b, const float *V, int rows, int frames, int K,
                  const int *bandOf, int bands)
{
    b->Vb = malloc(sizeof *b->Vb * (size_t)bands * (size_t)frames);
    kve_adviseLarge(b->Vb, sizeof *b->Vb * (size_t)bands * (size_t)frames);
    b->Wb = malloc(sizeof *b->Wb * (size_t)bands * (size_t)K);
    b->rowSum = malloc(sizeof *b->rowSum * (size_t)rows);
    b->bandSum = malloc(sizeof *b->bandSum * (size_t)bands);
    double *acc = malloc(sizeof *acc * (size_t)frames);
    const int ok = b->Vb && b->Wb && b->rowSum && b->bandSum && acc;
    if (ok) kve_bandSums(V, rows, frames, bandOf, b->Vb, b->rowSum, b->bandSum, acc);
    free(acc);
    if (!ok) kve_bandsClose(b);
    return ok ? 0 : -1;
}

void kve_bandsClose(kve_bandScratch *b)
{
    free(b->Vb);
    free(b->Wb);
    free(b->rowSum);
    free(b->bandSum);
    b->Vb = NULL;
    b->Wb = b->rowSum = b->bandSum = NULL;
}

int kve_bandStart(const float *V, int rows, int frames, int K, unsigned seed, const int *bandOf,
                  int bands, double *W, double *H)
{
    if (!V || !W || !H || rows < 1 || frames < 1 || K < 1 || !kve_bandsValid(bandOf, bands, rows))
        return -1;
    kve_bandScratch b;
    if (kve_bandsOpen(&b, V, rows, frames, K, bandOf, bands) != 0) return -1;
    const int rc = kve_nndsvdaStart(b.Vb, bands, frames, K, seed, b.Wb, H);
    if (rc == 0) kve_rowsOfBands(b.Wb, rows, K, bandOf, b.rowSum, b.bandSum, W);
    kve_bandsClose(&b);
    return rc;
}
