/* What the model files share inside the engine. */
#ifndef KV_MODEL_INTERNAL_H
#define KV_MODEL_INTERNAL_H

#include "kv_engine_private.h"

/* the sum of an activation's rises from frame to frame over its sum (0 for
 * a silent one): about 0.3 for hits at the default hop, under 0.1 for held
 * sounds. model_group.c. */
double kve_activationRise(const double *h, long frames);

/* A penalty on one factor alone would be paid off by the other's scale (W
 * grown, H shrunk, the same product): it would change nothing. So weights
 * on one factor alone (l1, l2) penalise each component's model w_k h_k^T
 * instead, which no split of its scale changes:
 *   l1 sum_k s_k g_k + l2 / 2 sum_k p_k q_k,
 * s_k and p_k the sum of component k's bases (every lag) and of their
 * squares, g_k and q_k those of its activation: the sum of the model's
 * cells and half the sum of their squares. Both updates take its gradient,
 * h_kt's l1 s_k + l2 p_k h_kt and w_rk's l1 g_k + l2 q_k w_rk: `slopes`
 * holds l1 s, l2 p, l1 g and l2 q, K values each. With both factors
 * penalised (or neither) each penalty is on its factor as it is. */
enum { KVE_PENALTY_BOTH = 0, KVE_PENALTY_H = 1, KVE_PENALTY_W = 2 };
int kve_penaltyAlone(const kve_model *m);
/* Nothing holds the scale of a component penalised alone, and strong
 * weights let it drift: the power of two n for which w 2^n and h 2^-n have
 * sums s and g within a factor 2^32 again, 0 when they are. Powers of two
 * change no bit of the model. */
int kve_penaltyBalance(double s, double g);
/* component k's four slopes (of K) from its sums {s, p, g, q} */
void kve_penaltySlope(const kve_model *m, const double sums[4], int K, int k, double *slopes);
/* every component's, from W (span x rows x K) and H (K x frames) */
void kve_penaltySlopes(const kve_model *m, const double *W, const double *H, int rows, int frames,
                       int K, double *slopes);

/* The penalties' and continuity's parts of a multiplicative update of H
 * (K x frames), split by sign: num[k t] += the negative part of the
 * gradient, den[k t] += the positive part (num, den: K x frames, rows of
 * ld values). For the W update (rows x K, row-major): the same with l1W and
 * l2W only (no continuity). slopes: kve_penaltySlopes's from the factors as
 * they are for a penalty alone, else NULL. model_penalty.c. */
void kve_penaltyH(const kve_model *m, const double *H, int K, int frames, const double *slopes,
                  double *num, double *den, int ld);
void kve_penaltyW(const kve_model *m, const double *W, int rows, int K, const double *slopes,
                  double *num, double *den);
/* the penalties' and continuity's value on W (span x rows x K) and H (a
 * penalty alone on the components' models, as above) */
double kve_penaltyCost(const kve_model *m, const double *W, const double *H, int rows, int frames,
                       int K);

/* the kernels' copy for this processor (model_cpu.c): AVX-512 (F, VL and
 * DQ) with FMA, AVX2 with FMA, or the portable one */
enum { KVE_VECTOR_BASE, KVE_VECTOR_AVX2, KVE_VECTOR_AVX512 };
int kve_vectorLevel(void);
/* for tests: no copy above `most` is chosen (KVE_VECTOR_AVX512 again for all) */
void kve_vectorCap(int most);

/* A team of threads for the model rounds, the nndsvda start's products and
 * the costs (model_team.c): body(job, id, nt) on nth threads (or fewer, as
 * OpenMP gives them; one without OpenMP), the steps of a round parted by
 * kve_teamSync. */
typedef struct kve_team {
    void *bar; /* the team's barrier while it runs */
} kve_team;
int kve_teamMost(void); /* the threads a team may have */
void kve_teamSync(const kve_team *team, int nt);
void kve_teamRun(kve_team *team, int nth, void (*body)(void *job, int id, int nt), void *job);
/* around a call of the BLAS from a team's thread: one such call at a time
 * (two at once in the single-threaded OpenBLAS give wrong results) */
void kve_blasBegin(void);
void kve_blasEnd(void);
/* part(job, slot, i) for i = 0 .. n - 1 on a team of nth threads (or
 * fewer), each part into a slot of scratch (0 .. slots - 1) no other part
 * holds meanwhile, and inOrder(job, slot, i) for the parts one at a time in
 * the order of i. Parts are taken in turn by whichever thread is free; with
 * one thread or one slot they run on the calling thread in slot 0. */
enum { KVE_MOST_SLOTS = 64 };
void kve_teamOrdered(int nth, int slots, int n, void (*part)(void *job, int slot, int i),
                     void (*inOrder)(void *job, int slot, int i), void *job);

/* The rounds of bases of one frame (model_rounds.c) go by panels of frames
 * once H and its sums pass `past` bytes, panels of about `bytes` of them;
 * 0 0 restores the defaults. For tests and measures: not while rounds run. */
void kve_modelPanels(size_t past, size_t bytes);

/* kve_modelRoundsIn for span > 1 (model_convolutive.c), in KVE_DOUBLE or
 * KVE_SINGLE; kve_convolutiveRounds in double */
int kve_convolutiveRoundsIn(int precision, const kve_model *m, const float *V, int rows, int frames,
                            int K, double *W, double *H, int n, int (*onRound)(int, int, void *),
                            void *user);
int kve_convolutiveRounds(const kve_model *m, const float *V, int rows, int frames, int K,
                          double *W, double *H, int n, int (*onRound)(int, int, void *),
                          void *user);

#endif
