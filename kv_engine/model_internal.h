/* What the model files share inside the engine. */
#ifndef KV_MODEL_INTERNAL_H
#define KV_MODEL_INTERNAL_H

#include "kv_engine_private.h"

/* The penalties' and continuity's parts of a multiplicative update of H
 * (K x frames), split by sign: num[k t] += the negative part of the
 * gradient, den[k t] += the positive part (num, den: K x frames, rows of
 * ld values). For the W update (rows x K, row-major): the same with l1W and
 * l2W only (no continuity). model_penalty.c. */
void kve_penaltyH(const kve_model *m, const double *H, int K, int frames, double *num, double *den,
                  int ld);
void kve_penaltyW(const kve_model *m, const double *W, int rows, int K, double *num, double *den);
/* the penalties' and continuity's value on W (span x rows x K) and H */
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
