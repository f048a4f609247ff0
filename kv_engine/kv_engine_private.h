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

#endif
