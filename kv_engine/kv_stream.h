/* The streamed, level-true pipeline behind `korvane decompose` and `remix`
 * (included by kv_engine.h; see the contract there). A sound of any length is
 * pulled block by block from a source: the framing (with padding, so that the
 * first and last samples are covered like any other), the magnitude
 * spectrogram written straight into the caller's V, the start and the rounds
 * of the factorisation with their cost, the order and list form of the
 * components, and every chosen component or group resynthesised through ratio
 * masks in one pass, its samples handed to a sink in order. No complex
 * spectrogram is kept: beyond V, W and H the memory is a block of frames per
 * channel and a block of samples per output and channel. Matrices are
 * row-major: row r of frame t of V is V[r * frames + t]. Nothing is printed;
 * every call that can fail returns a kve_status. */
#ifndef KV_STREAM_H
#define KV_STREAM_H

#include <stdbool.h>
#include <stddef.h>

#include "kv_engine.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How several channels are analysed: the magnitude of the channels' sum
 * (rows = bins), or every channel's magnitudes stacked, channel 0's bins
 * first (rows = channels x bins), sharing the activations. A mono sound has
 * one row per bin either way. */
typedef enum { KVE_SUM = 0, KVE_STACK = 1 } kve_rows;

/* the most channels a streamed sound may have */
enum { KVE_MOST_CHANNELS = 64 };

typedef struct kve_streamShape {
    long length;  /* samples per channel, L >= 1 */
    int channels; /* 1 .. KVE_MOST_CHANNELS */
    int stacked;  /* 1 when rows = channels x bins (two or more channels) */
    int window;   /* window samples: round(seconds x rate) */
    int N;        /* FFT size: the window rounded up to a power of two, or more
                   * as asked; the window is zero-padded to it */
    int hop;      /* round(window x hop fraction), the product in single precision */
    int bins;     /* N / 2 + 1 */
    int rows;     /* rows of V and W */
    long lead;    /* frame t's window covers samples [t hop - lead, t hop - lead + window) */
    long frames;  /* every frame that overlaps the sound */
    /* the numbers to change to, for a refusal */
    double
        shortestSound; /* seconds: the shortest sound this window accepts (KVE_SOUND_TOO_SHORT) */
    double longestWindow; /* seconds: the longest window this sound accepts (KVE_SOUND_TOO_SHORT) */
    double longestHop;    /* fraction of the window: the longest hop it accepts
                           * (KVE_HOP_TOO_LONG) */
} kve_streamShape;

/* Fills s from the window in seconds, the hop as a fraction of the window,
 * the sample rate, the length in samples per channel and the channel count
 * (1 .. KVE_MOST_CHANNELS). The window is round(seconds x rate) samples of a
 * square-root Blackman, zero-padded to the FFT size: the next power of two at
 * or above it. The frames start lead = floor((window - 1) / hop) x hop
 * samples before the sound, and run on until the last one whose window still
 * overlaps it: every sample then lies under the same set of window positions
 * as a sample far inside. (The object derives its FFT size and hop its own
 * way: kve_shapeOf.) Returns KVE_OK or a refusal: KVE_WINDOW_TOO_SHORT (also
 * for a window over 2^30 samples), KVE_HOP_TOO_SHORT, KVE_HOP_TOO_LONG,
 * KVE_SOUND_TOO_SHORT, KVE_TOO_LARGE, KVE_BAD_ARGUMENT, KVE_NO_MEMORY. A hop
 * is too long when some sample's overlap sum of the squared window falls
 * below 1% of the window's peak. */
kve_status kve_streamShapeOf(double seconds, float hopFraction, double rate, long length,
                             int channels, kve_rows mode, kve_streamShape *s);
/* The same with an FFT size: 0 for the next power of two at or above the
 * window, else a power of two at or above it (up to 2^30; else
 * KVE_BAD_ARGUMENT). */
kve_status kve_streamShapeFft(double seconds, float hopFraction, long fft, double rate, long length,
                              int channels, kve_rows mode, kve_streamShape *s);
/* The same from the window, FFT size (0 as above) and hop in samples, as a
 * record keeps them. */
kve_status kve_streamShapeOfSamples(long window, long fft, long hop, double rate, long length,
                                    int channels, kve_rows mode, kve_streamShape *s);

/* Source: fills ch[c][0 .. count) with samples start .. start + count - 1 of
 * channel c, for c < channels; asked only within [0, length), in increasing
 * order, each sample once per pass (start + count over length is the pass's
 * progress). Nonzero stops the work (KVE_SOURCE_FAILED); the caller keeps any
 * detail in user. */
typedef int (*kve_readFn)(void *user, long start, long count, double *const *ch);
typedef struct kve_source {
    kve_readFn read;
    void *user;
} kve_source;

/* Sink: samples start .. start + count - 1 of output `output`, one array per
 * channel (as many as the sound's, every one). Each output's samples come in order and
 * once, covering [0, length). Nonzero stops the work (KVE_SINK_FAILED). */
typedef int (*kve_writeFn)(void *user, int output, long start, long count, const double *const *ch);
typedef struct kve_sink {
    kve_writeFn write;
    void *user;
} kve_sink;

/* One output: the components (indices from 0, no repeats) whose masks are
 * summed; one index for a component, several for a group. */
typedef struct kve_output {
    const int *comps;
    int count;
} kve_output;

/* threads: 1, or 2 to share each block's frames and outputs between two
 * threads (0 means 2); the results do not depend on it. */

/* V (rows x frames) = magnitude of the square-root Blackman windowed DFT of
 * each frame, scaled as qm_STFT's. */
kve_status kve_streamAnalyse(const kve_streamShape *s, kve_source src, double *V, int threads);
/* The same, V stored as floats (each magnitude rounded once); a sample
 * beyond FLT_MAX / (2 N) (over the channels' count when they are summed),
 * whose spectra could leave float's range, is KVE_NOT_FINITE. */
kve_status kve_streamAnalyseFloat(const kve_streamShape *s, kve_source src, float *V, int threads);

/* Every output through the mask sum_{k in set} (w_k h_k + e) /
 * (sum_j w_j h_j + K e), e = DBL_MIN, in one pass: each frame's spectrum is
 * formed once per channel, then each output's is masked, inverted, windowed
 * and overlap-added, normalised by the overlap sum of the squared window. The
 * outputs of all K components sum to the sound. With stacked rows each
 * channel is masked by its own rows of W. W is rows x K, H is K x frames. */
kve_status kve_streamResynth(const kve_streamShape *s, kve_source src, const double *W,
                             const double *H, int K, const kve_output *outs, int nOuts,
                             kve_sink sink, int threads);

/* The same in single precision: the spectra, each output's mask, inverse
 * and overlap-add are in float (e = FLT_MIN); the outputs still sum to the sound, to float's
 * rounding. About twice as fast. W and H must fit in float (else KVE_BAD_ARGUMENT), and
 * a sample beyond FLT_MAX / (2 N) is KVE_NOT_FINITE. */
typedef int (*kve_writeSingleFn)(void *user, int output, long start, long count,
                                 const float *const *ch);
typedef struct kve_sinkSingle {
    kve_writeSingleFn write;
    void *user;
} kve_sinkSingle;
kve_status kve_streamResynthSingle(const kve_streamShape *s, kve_source src, const double *W,
                                   const double *H, int K, const kve_output *outs, int nOuts,
                                   kve_sinkSingle sink, int threads);

/* W and H (rows x K, K x frames) for masks of power p: each scaled by its
 * largest value and raised to p, into Wp and Hp. The ratio masks of w^p h^p
 * are those of (w_k h_k)^p, which still sum to 1 over the components; p = 1
 * gives the masks of W and H. Wp and Hp may be W and H. */
void kve_maskFactors(const double *W, const double *H, int rows, int frames, int K, double p,
                     double *Wp, double *Hp);

/* How each output's spectrum is drawn from the sound's. KVE_MASKS: each
 * channel through its own rows' ratio masks, as above. KVE_SPATIAL, for two
 * stacked channels (elsewhere it is KVE_MASKS): component k at bin b and
 * frame t is a source at one place, its covariance across the channels
 * R_k = h_k w w^T / |w| with w = (w_L, w_R) its two rows, widened on the
 * diagonal by KVE_SPATIAL_LOAD / 2 of its trace (and e); an output is
 * (sum over its set of R_k) A^-1 x, A the sum over all K, x the channels'
 * spectra. Sources at different places are then told apart by the channels'
 * phases and levels together, not each channel's level alone; sources at one
 * place get the ratio masks. The outputs of all K components still sum to
 * the sound. */
typedef enum { KVE_MASKS = 0, KVE_SPATIAL = 1 } kve_filter;
#define KVE_SPATIAL_LOAD 1e-3
kve_status kve_streamResynthFiltered(const kve_streamShape *s, kve_source src, const double *W,
                                     const double *H, int K, const kve_output *outs, int nOuts,
                                     kve_sink sink, int threads, kve_filter filter);
kve_status kve_streamResynthSingleFiltered(const kve_streamShape *s, kve_source src,
                                           const double *W, const double *H, int K,
                                           const kve_output *outs, int nOuts, kve_sinkSingle sink,
                                           int threads, kve_filter filter);

/* Bytes a run holds at its peak: V (vCell bytes a value: 8 for doubles, 4
 * for floats), W, H and the larger of the two passes' scratch (the
 * factorisation's own work space is not counted). SIZE_MAX when it
 * overflows. */
size_t kve_streamMemory(const kve_streamShape *s, int K, int nOuts, size_t vCell);

/* The run's peak memory, bytes: kve_streamMemory with V as floats, plus the
 * factorisation's copies of W and H, the nndsvda start's range and its blocks
 * of V as doubles, and the costs' blocks of rows. A front end adds what it
 * holds itself and compares the sum with the cap it chose for the run
 * (kve_fitsMemory). */
double kve_runMemory(const kve_streamShape *s, int K, int nOuts);
/* whether need bytes fit a cap; a cap of 0 or less is no cap */
bool kve_fitsMemory(double need, double cap);

/* ---- the start ---- */

/* W then H in storage order, uniform in [0, 1] from the sequence srand(seed)
 * gives rand(), drawn from a private state. */
void kve_randomStart(unsigned seed, int rows, int frames, int K, double *W, double *H);

/* The nndsvda start: the nonnegative double SVD of V's K leading singular
 * triplets, from a randomised truncated SVD (range finder of K + 10 columns
 * drawn from seed, ten power iterations), zeros replaced by the mean of V.
 * V is read a block of frames at a time, widened to doubles: scratch is
 * O((rows + frames) K) and at most 16 MB (or one frame) of V, twice that on
 * threads; the result does not depend on their number. A silent V, or K
 * above rows or frames, falls back to kve_randomStart scaled by the mean of
 * V.
 * Returns 0, or -1 when memory ran out or LAPACK failed (W and H then
 * undefined). */
int kve_nndsvdaStart(const float *V, int rows, int frames, int K, unsigned seed, double *W,
                     double *H);

/* ---- the cost ---- */

/* The generalised Kullback-Leibler divergence of V from W H:
 * sum V log(V / WH) - V + WH, cells of V = 0 giving WH. Scratch is a block
 * of rows a thread and one more; NaN when it could not be had. Each cost's
 * cells are summed in storage order, the same bits on any number of
 * threads. */
double kve_klDivergence(const float *V, const double *W, const double *H, int rows, int frames,
                        int K);
/* The same sum over the frames 0, s, 2 s, .. only, s = kve_checkStep(rows,
 * frames): every frame of a spectrogram of up to 2^20 cells, else frames far
 * enough apart that about 2^20 cells are read. A cheap estimate for telling
 * when the rounds have settled. */
double kve_klEstimate(const float *V, const double *W, const double *H, int rows, int frames,
                      int K);
int kve_checkStep(int rows, int frames);
/* sum (V - W H)^2, W H made a block of rows at a time; NaN when scratch ran
 * out */
double kve_euclideanCost(const float *V, const double *W, const double *H, int rows, int frames,
                         int K);
/* the cost (KVE_EUCLIDEAN or KVE_KULLBACK_LEIBLER) of V from W H, and what
 * the tolerance compares between checks: the Kullback-Leibler estimate, or
 * the whole Euclidean cost (it is cheap beside a round) */
double kve_cost(int cost, const float *V, const double *W, const double *H, int rows, int frames,
                int K);
double kve_costEstimate(int cost, const float *V, const double *W, const double *H, int rows,
                        int frames, int K);

/* ---- the rounds ---- */

/* rounds between two checks of the tolerance */
enum { KVE_CHECK_EVERY = 10 };

typedef struct kve_rounds {
    int cost;                      /* KVE_EUCLIDEAN or KVE_KULLBACK_LEIBLER */
    int iterations;                /* most rounds */
    double tol;                    /* stop when KVE_CHECK_EVERY rounds lower the cost estimate
                                    * by less than this fraction of it; 0: run them all */
    int fixedK;                    /* -1: every basis learned; else W's first fixedK columns
                                    * kept bit for bit (0: all learned, the given ones from
                                    * their given start) */
    const struct kve_model *model; /* NULL or plain: the cost above; else
                                    * the model's rounds (W then holds
                                    * model->span blocks of rows x K) */
    int precision;                 /* KVE_DOUBLE (0) or KVE_SINGLE: the
                                    * model's rounds in float, the plain
                                    * costs' included */
    const int *bandOf;             /* NULL: every round on every row. Else
                                    * (a model with bases of one frame) row r
                                    * lies in band bandOf[r] of `bands`, and
                                    * the rounds but the last fineRounds run
                                    * on V summed over each band (see
                                    * kve_bandLayout) */
    int bands;
    int fineRounds;
} kve_rounds;

typedef struct kve_roundsDone {
    int iterations; /* rounds run */
    double cost;    /* the exact cost after them */
    int relaxed;    /* of them, rounds run over-relaxed (see kve_model) */
} kve_roundsDone;

/* W (rows x K) and H (K x frames), started, lowered by rounds of the cost's
 * multiplicative updates until the count or the tolerance stops them.
 * With bands, W's rows are first summed over each band and the rounds run
 * on the bands; then each row takes its band's spectrum in the share of
 * V's sum that is its own, and the last rounds run on every row.
 * progress (may be NULL) sees done = 1 .. how->iterations over the whole run;
 * non-zero stops the work (KVE_STOPPED, W and H as far as they came).
 * KVE_OK, KVE_BAD_ARGUMENT, KVE_NO_MEMORY or KVE_STOPPED; *done filled on
 * KVE_OK. */
kve_status kve_streamFactorise(const float *V, int rows, int frames, int K, double *W, double *H,
                               const kve_rounds *how, kve_progressFn progress, void *user,
                               kve_roundsDone *done);

/* ---- the components ---- */

typedef enum { KVE_BY_CENTROID, KVE_BY_PEAK, KVE_BY_ENERGY, KVE_BY_ONSET } kve_order;

/* basis k as shown (bins values): for stacked rows the channels' halves summed */
void kve_shownBasis(const kve_streamShape *s, const double *W, int K, int k, double *w);
/* |w_k|^2 |h_k|^2 over all rows and frames */
double kve_componentEnergy(const kve_streamShape *s, const double *W, const double *H, int K,
                           int k);
/* a key per component, the largest first: the shown basis's spectral
 * centroid or peak bin (brightest first), the energy (loudest first), or
 * minus the first frame where the activation reaches half its largest value
 * (earliest first). A silent component gets -infinity. key: K values. */
kve_status kve_orderKeys(const kve_streamShape *s, const double *W, const double *H, int K,
                         kve_order how, double *key);
/* the order kve_orderComponents puts them in: order[j] is the component
 * that comes j-th (from 0), the first `from` in place */
kve_status kve_componentOrder(const kve_streamShape *s, const double *W, const double *H, int K,
                              int from, kve_order how, int *order);
/* W's columns and H's rows from component `from` on reordered by
 * kve_orderKeys, stable (equal keys keep their order). KVE_OK, KVE_NO_MEMORY
 * or KVE_BAD_ARGUMENT. */
kve_status kve_orderComponents(const kve_streamShape *s, double *W, double *H, int K, int from,
                               kve_order how);

/* the largest activation of all, the scale every activation is divided by
 * and every basis multiplied by; 1 when H holds nothing positive and finite */
double kve_activationScale(const double *H, int K, long frames);

typedef struct kve_componentInfo {
    double centroidHz; /* the spectral centroid of the shown basis */
    double peakHz;     /* the frequency of its largest value */
} kve_componentInfo;

/* component k as the front ends show it, with the activations scaled by
 * scale (kve_activationScale): activation (frames values) h / scale, the list
 * form (bins values) of the shown basis w scale, and that basis read back
 * from the list form (bins values), none of them NULL; info may be. */
void kve_componentForm(const kve_streamShape *s, double rate, const double *W, const double *H,
                       int K, int k, double scale, double *activation, double *listForm,
                       double *shown, kve_componentInfo *info);

/* each component's share of the sum of all components' energy
 * (kve_componentEnergy), 0 .. 1; all 0 when the sum is 0. share: K values. */
kve_status kve_energyShares(const kve_streamShape *s, const double *W, const double *H, int K,
                            double *share);

/* the gain that keeps written samples of this peak below full scale:
 * QM_CLIP_GAIN / peak above 1, else 1 */
double kve_clipGain(double peak);

#ifdef __cplusplus
}
#endif

#include "kv_models.h"

#endif
