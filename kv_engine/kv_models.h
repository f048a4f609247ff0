/* Models beyond plain NMF for the streamed factorisation: the β-divergence,
 * penalties on W and H, temporal continuity on H, convolutive bases of
 * several frames, and components grouped into sources. Included by
 * kv_stream.h; the object's pipeline never uses them. */
#ifndef KV_MODELS_H
#define KV_MODELS_H

#ifdef __cplusplus
extern "C" {
#endif

/* What is lowered. The plain model (beta 1 or 2, every weight 0, span 1)
 * runs the fused Kullback-Leibler or Euclidean rounds of the object's
 * library, bit for bit; anything else runs the model's own rounds. */
typedef struct kve_model {
    double beta;       /* the β-divergence: 2 Euclidean, 1 Kullback-Leibler,
                        * 0 Itakura-Saito, or any value between (and above) */
    double l1W, l2W;   /* penalties on W: l1W sum W + l2W / 2 sum W^2 */
    double l1H, l2H;   /* the same on H */
    double continuity; /* temporal continuity on H: weight of
                        * sum_k T sum_t (h_kt - h_kt-1)^2 / sum_t h_kt^2;
                        * kve_streamFactorise multiplies it by
                        * sum V / (K frames), the rounds take it as is */
    int span;          /* frames of each convolutive basis (1: plain NMF) */
    double relax;      /* over-relaxed updates (bases of one frame): each
                        * update's exponent times this, 1 .. 2 (0 or 1: none).
                        * A round then goes about relax times as far; when the
                        * cost estimate rises, kve_streamFactorise goes on with
                        * the plain exponent. */
    int shared;        /* W's rows as this many blocks (the channels of a
                        * stacked spectrogram) that share each component's
                        * spectrum, with a gain per block: after each W
                        * update a component's blocks become their closest
                        * such product in the I-divergence (its block sums
                        * times its spectrum summed over the blocks, over
                        * its total). 0 or 1: none; bases of one frame only */
} kve_model;

/* beta 1 (KVE_KULLBACK_LEIBLER) or 2 (KVE_EUCLIDEAN), nothing else */
kve_model kve_plainModel(int cost);
/* the model and pool (0: no grouping) a user who gives only the number of
 * sources gets for a spectrogram of this framing: the best measured on the
 * separation benchmark. The Kullback-Leibler divergence in relaxed rounds;
 * stacked channels: one spectrum a component with a gain per channel, over
 * a pool grouped into the sources (the channels' shares tell sources
 * apart); one row per bin: no pool, and temporal continuity of
 * KVE_ONE_ROW_CONTINUITY on H. */
kve_model kve_defaultModel(const struct kve_streamShape *s);
#define KVE_ONE_ROW_CONTINUITY 0.02
int kve_defaultPool(const struct kve_streamShape *s, int sources);
/* One row a bin, the default model's cost (Kullback-Leibler, bases of one
 * frame), no pool given: a fit of `sources` components to V (s->rows x
 * s->frames) that leaves a divergence above KVE_RICH_FIT of V's sum says
 * the sources are richer than a spectrum each (a tune, a voice). Then they
 * are factorised again, four components a source, and grouped: the pool
 * to use, else 0. */
int kve_richPool(const struct kve_streamShape *s, const kve_model *m, int sources, const float *V,
                 double divergence);
/* the largest pool kve_richPool can give for this framing and model: what
 * to plan memory for */
int kve_richPoolMost(const struct kve_streamShape *s, const kve_model *m, int sources);
#define KVE_RICH_FIT 0.17
/* One row a bin, the default model's cost and bases of one frame, no pool:
 * when every one of the `sources` components fitted (W: s->rows x sources,
 * H: sources x s->frames) rises like a hit (its activation's rises from
 * frame to frame over its sum above KVE_HIT_RISE: about 0.3 for a kit's
 * pieces at the default hop, under 0.1 for held sounds), convolutive bases
 * of KVE_HIT_SPAN frames started from them (kve_convolutiveStart, then
 * KVE_WARM_SPAN_ROUNDS rounds) follow each hit's course: the span to go on
 * with, else 1. */
int kve_hitSpan(const struct kve_streamShape *s, const kve_model *m, int sources, const double *W,
                const double *H);
/* the largest span kve_hitSpan can give for this framing and model: what to
 * plan memory for */
int kve_hitSpanMost(const struct kve_streamShape *s, const kve_model *m, int sources);
#define KVE_HIT_RISE 0.1
#define KVE_HIT_SPAN 6
/* The power of the resynthesis's shares: KVE_SHARP_SHARES for one row a bin
 * factorised into the sources alone (inner == sources) by a model that is
 * not plain, with the default cost (Kullback-Leibler) and bases of one
 * frame: sounds that K spectra explain (a kit, held notes, a bass line) are
 * cut cleaner by masks of (w_k h_k)^p; KVE_HELD_SHARES when every
 * activation (H: sources x s->frames, or NULL) rises under KVE_HIT_RISE,
 * held sounds only, whose masks gain from sharper shares still; grouped
 * pools keep the plain shares. Else 1. */
double kve_maskPower(const struct kve_streamShape *s, const kve_model *m, int sources, int inner,
                     const double *H);
#define KVE_SHARP_SHARES 1.5
#define KVE_HELD_SHARES 2.0
/* Mostly held sounds (one row a bin factorised into the sources alone by
 * the default model, at most one component or a third of them rising like a
 * hit, as kve_maskPower and kve_hitSpan measure it; H: sources x
 * s->frames): KVE_HELD_STARTS more fits from random starts, the one whose
 * bases have the clearest pitches kept (kve_pitchClarity). The lowest
 * divergence is no guide there: a fit that joins two notes in one basis
 * (often one rising like a hit, where the second note comes in) and
 * splits another over two can end below the one that gives each note its
 * own. The starts to add, else 0. */
int kve_heldStarts(const struct kve_streamShape *s, const kve_model *m, int sources, int inner,
                   const double *H);
#define KVE_HELD_STARTS 7
/* the resynthesis's filter for that user: the spatial filter for two
 * stacked channels, else the masks */
kve_filter kve_defaultFilter(const struct kve_streamShape *s);
/* the rounds a user who gives none gets: 200 plain rounds' worth, that is
 * 200 / relax rounds of a relaxed model (rounded up); convolutive rounds
 * that start from the one-frame model's factors (kve_spanWarmModel),
 * KVE_WARM_SPAN_ROUNDS */
int kve_defaultRounds(const kve_model *m);
/* convolutive rounds after the one-frame model's: they shape its spectra
 * over the span; more of them drift from its separation */
#define KVE_WARM_SPAN_ROUNDS 50
/* the relaxation the rounds of m use: relax for bases of one frame, else 1 */
double kve_modelRelax(const kve_model *m);
/* the blocks of rows whose spectra the rounds of m share on `rows` rows:
 * shared for bases of one frame when it divides rows, else 1 */
int kve_modelShared(const kve_model *m, int rows);
/* whether m is a plain model (runs the object library's rounds) */
int kve_modelIsPlain(const kve_model *m);
/* With convolutive bases (span > 1) of a model that is not plain: 1, and in
 * oneFrame the same model on bases of one frame, whose factorisation (its
 * own start, bands and rounds) starts the convolutive rounds through
 * kve_convolutiveStart; else 0. */
int kve_spanWarmModel(const kve_model *m, kve_model *oneFrame);
/* whether the settings make sense: beta finite, weights finite and >= 0,
 * span 1 .. KVE_MOST_SPAN, relax 0 or 1 .. KVE_MOST_RELAX, shared 0 ..
 * KVE_MOST_SHARED */
int kve_modelIsValid(const kve_model *m);
enum { KVE_MOST_SPAN = 64, KVE_MOST_RELAX = 2, KVE_MOST_SHARED = 64 };

/* The β-divergence of V from W H (W: span x rows x K, see below), summed
 * over every cell; the penalties are not in it. Cells of V = 0 count as the
 * divergence's limit. NaN when scratch ran out. */
double kve_betaDivergence(double beta, const float *V, const double *W, const double *H, int rows,
                          int frames, int K, int span);
/* the same over every kve_checkStep(rows, frames)-th frame, plus the penalties and
 * continuity term on the whole of W and H: what the tolerance compares */
double kve_modelEstimate(const kve_model *m, const float *V, const double *W, const double *H,
                         int rows, int frames, int K);

/* n rounds of the model's multiplicative updates (H, then W with the new H)
 * on W (span blocks of rows x K, row-major: W_l[r][k] at (l rows + r) K + k)
 * and H (K x frames). The approximation is
 *   Λ[r][t] = sum_l sum_k W_l[r][k] H[k][t - l]   (H before frame 0 is 0).
 * onRound (may be NULL) is called after each round with (done, n, user); a
 * non-zero return stops. 0, 1 when stopped, -1 when scratch ran out. Threads
 * as the plain rounds; the result does not depend on their number. */
int kve_modelRounds(const kve_model *m, const float *V, int rows, int frames, int K, double *W,
                    double *H, int n, int (*onRound)(int, int, void *), void *user);

/* The precision of the rounds: W and H kept in double, or in float with
 * the sums that need it (over frames, over rows, of W's columns and H's
 * rows) in double. */
enum { KVE_DOUBLE = 0, KVE_SINGLE = 1 };

/* kve_modelRounds in either precision, W's first `keep` columns left as
 * they are (span 1 only). W and H stay the caller's doubles: in single
 * precision they are rounded to float on the way in, and hold floats on the
 * way out; convolutive bases (span > 1) too. */
int kve_modelRoundsIn(int precision, const kve_model *m, const float *V, int rows, int frames,
                      int K, int keep, double *W, double *H, int n,
                      int (*onRound)(int, int, void *), void *user);

/* A convolutive start from a plain one: W0 (rows x K) and H0 (K x frames)
 * give W (span x rows x K) and H (K x frames) whose Λ is close to W0 H0:
 * every W_l a copy of W0 weighted by a falling profile, H scaled to match. */
void kve_convolutiveStart(const double *W0, const double *H0, int rows, int frames, int K, int span,
                          double *W, double *H);

/* The convolutive factors as span K rank-one components: inner component
 * k span + l has basis W_l[.][k] and activation H[k][t - l]. We: rows x
 * (K span), He: (K span) x frames. Component k is the sum of its span inner
 * ones. */
void kve_expandConvolutive(const double *W, const double *H, int rows, int frames, int K, int span,
                           double *We, double *He);

/* ---- bands ---- */

/* The bands of the first rounds, for a framing at this sample rate: in
 * each block of rows (the channels of a stacked spectrogram) the bins
 * below fromHz twice are a band each, and each octave above it has bands
 * twice as wide as the one below. bandOf (s->rows values) gets each row's
 * band, the blocks' bands numbered one after another; returns the number
 * of bands, or 0 (bandOf untouched) when fromHz is not above 0 or no two
 * bins share a band. */
int kve_bandLayout(const kve_streamShape *s, int sampleRate, double fromHz, int *bandOf);
/* kve_nndsvdaStart on V summed over the bands, each row of W then its
 * band's spectrum times its share of the band's sum: a start whose W
 * summed over the bands is the bands' own start. Returns as
 * kve_nndsvdaStart, and -1 for bands that are not a layout's. */
int kve_bandStart(const float *V, int rows, int frames, int K, unsigned seed, const int *bandOf,
                  int bands, double *W, double *H);
/* the bands (fromHz) a user who gives none gets for a framing, the best
 * measured on the separation benchmark: stacked channels 400 Hz, one row
 * a bin 250 Hz; and the rounds then run on every row at the end */
double kve_defaultBands(const kve_streamShape *s);
enum { KVE_FINE_ROUNDS = 10 };

/* ---- grouping ---- */

/* how many components to factorise when `sources` are asked for and grouped
 * (the engine's choice): three a source, at most six more than the sources; 0
 * for fewer than one source */
int kve_poolSize(int sources);

/* Groups `inner` rank-one components (W rows x inner, H inner x frames, as
 * kve_streamFactorise leaves them, s their framing at `rate` samples a
 * second) into `sources` sources: groupOf[i] in 0 .. sources - 1 for each
 * inner component, every source given at least one. Deterministic. KVE_OK,
 * KVE_BAD_ARGUMENT or KVE_NO_MEMORY. */
kve_status kve_groupComponents(const kve_streamShape *s, double rate, const double *W,
                               const double *H, int inner, int sources, int *groupOf);

/* Sources made of grouped rank-one components (groupOf as above, or
 * k / span for an expanded convolutive run) as one basis and one activation
 * each, for showing and ordering them: Hs[g][t] = sum over its members i of
 * (sum_r W[r][i]) H[i][t], the magnitude it adds to frame t, and Ws[.][g] =
 * sum_i W[.][i] sum_t H[i][t] / sum_t Hs[g][t], its mean spectrum with unit
 * sum (0 for a silent source). Ws: rows x sources, Hs: sources x frames. */
void kve_groupSummary(const double *W, const double *H, int rows, int frames, int inner,
                      const int *groupOf, int sources, double *Ws, double *Hs);

/* How clearly the n bases (W: s->rows x n, one row a bin, at `rate`
 * samples a second) have a pitch: the mean of their harmonicities, each the
 * log of its best pitch's partial sum over the median of the sums of all
 * the pitches tried, as the grouping weighs them (a note's partials stand
 * out, a drum's noise does not, and two notes in one basis lower it). -1
 * for stacked rows, bad arguments or no memory. */
double kve_pitchClarity(const kve_streamShape *s, double rate, const double *W, int n);

#ifdef __cplusplus
}
#endif

#endif
