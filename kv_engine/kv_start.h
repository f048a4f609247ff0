/* Starts and cost of the command line's factorisation of a magnitude
 * spectrogram V (rows x frames, row-major), W rows x K and H K x frames.
 * The object keeps its own start (kve_factorize). */
#ifndef KV_START_H
#define KV_START_H

#ifdef __cplusplus
extern "C" {
#endif

/* W then H in storage order, uniform in [0, 1] from the sequence srand(seed)
 * gives rand(), drawn from a private state. */
void kve_randomStart(unsigned seed, int rows, int frames, int K, double *W, double *H);

/* The nndsvda start: the nonnegative double SVD of V's K leading singular
 * triplets, from a randomised truncated SVD (range finder of K + 10 columns
 * drawn from seed, two power iterations), zeros replaced by the mean of V.
 * V is read a block of frames at a time, widened to doubles: scratch is
 * O((rows + frames) K) and at most 16 MB (or one frame) of V. A silent V, or K above rows or
 * frames, falls back to kve_randomStart scaled by the mean of V. Returns 0, or -1 when memory ran
 * out or LAPACK failed (W and H then undefined). */
int kve_nndsvdaStart(const float *V, int rows, int frames, int K, unsigned seed, double *W,
                     double *H);

/* The generalised Kullback-Leibler divergence of V from W H:
 * sum V log(V / WH) - V + WH, cells of V = 0 giving WH. Scratch is a block
 * of rows; NaN when it could not be had. */
double kve_klDivergence(const float *V, const double *W, const double *H, int rows, int frames,
                        int K);

/* The same sum over the frames 0, s, 2 s, .. only, s = kve_checkStep(frames):
 * every 16th frame, further apart when there are over 65536, so that at most
 * 4096 frames are read. A cheap estimate for telling when the rounds have
 * settled. */
double kve_klEstimate(const float *V, const double *W, const double *H, int rows, int frames,
                      int K);
int kve_checkStep(int frames);

#ifdef __cplusplus
}
#endif

#endif
