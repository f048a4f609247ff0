/* Shared by the engine's own files. */
#ifndef KV_ENGINE_PRIVATE_H
#define KV_ENGINE_PRIVATE_H

#include "kv_engine.h"
#include "qm_audio.h"
#include "qm_matrixOps.h"

/* the largest FFT size either pipeline takes: bins x frames and every
 * sample index stay within int */
#define KVE_LARGEST_FFT 0x1p30

/* The FFT size and hop of both pipelines, from a window of n samples and
 * the hop's fraction of the FFT size: the window rounded up to a power of
 * two, and round(fft x hopFraction) with the product in single precision, as
 * the settings keep it. Each is 0 where there is none. */
void kve_fftAndHop(double n, float hopFraction, double *fft, double *hop);

/* the nndsvda start's range: K + KVE_OVERSAMPLE columns; and its block of V
 * as doubles, values */
enum { KVE_OVERSAMPLE = 10 };
#define KVE_BLOCK_DOUBLES ((size_t)1 << 21)
/* the blocks of V as doubles the start holds at once: 1, or 2 on threads */
int kve_startBlocks(int rows, int frames, int K);

/* rows of W H the costs make at a time */
enum { KVE_COST_ROWS = 16 };

/* W (bins x K) then H (K x frames) from start; NULL draws from rand() */
void kve_fillStart(const kve_start *start, int bins, int frames, int K, double *W, double *H);

/* give back the analysis (and its setup), or the factors (with their order
 * and model), marking them stale */
void kve_dropAnalysis(kve_engine *e);
void kve_dropFactors(kve_engine *e);

/* The bands of the first rounds (see kv_stream.h). Valid: every row in
 * one of `bands` (fewer than the rows), each band a run of rows, in
 * order. Vb (bands x frames) gets V summed over each band, rowSum and
 * bandSum each row's and band's sum (acc: frames values of scratch). */
int kve_bandsValid(const int *bandOf, int bands, int rows);
void kve_bandSums(const float *V, int rows, int frames, const int *bandOf, float *Vb,
                  double *rowSum, double *bandSum, double *acc);
/* A run's bands: V summed over them (Vb, bands x frames), each row's and
 * band's sum, and room for W summed over them (Wb, bands x K). Open: 0, or
 * -1 with nothing held when memory ran out. */
typedef struct kve_bandScratch {
    float *Vb;
    double *Wb, *rowSum, *bandSum;
} kve_bandScratch;
int kve_bandsOpen(kve_bandScratch *b, const float *V, int rows, int frames, int K,
                  const int *bandOf, int bands);
void kve_bandsClose(kve_bandScratch *b);
/* Wb (bands x K): W's rows summed over each band */
void kve_bandsOfW(const double *W, int rows, int K, const int *bandOf, int bands, double *Wb);
/* W: each row its band's spectrum times its share of the band's sum */
void kve_rowsOfBands(const double *Wb, int rows, int K, const int *bandOf, const double *rowSum,
                     const double *bandSum, double *W);

#endif
