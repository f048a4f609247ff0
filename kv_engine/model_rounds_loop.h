/* The rounds' driver, one copy per precision: the includer defines
 * MR_SINGLE (0: W and H kept in double during the rounds, 1: in float),
 * undefined at the end.
 *
 * In single precision the kernels add into float sums over short stretches
 * only: the W sums of a row are folded into double every MR_FOLD frames
 * (MR_FOLD / lanes terms a lane), the H sums every MR_FOLD_ROWS rows, so
 * that a round's result does not depend on the size of the sound. The
 * column sums of W, the row sums of H and the updates' ratios are double in
 * both. A block of rows has at least MR_MIN_ROWS rows (see the shape).
 *
 * On a long sound the frames go in panels (see mr_panelOf): for each panel
 * every row of a part passes for its W sums, the W update follows, then
 * the panels pass again for the H sums. Every sum gets the same terms in
 * the same order as in the sweep by blocks: the tiles and the folds fall
 * on the same frames and rows, and the lanes' W sums are carried from one
 * panel to the next unless a fold empties them at every panel's end. */

#if MR_SINGLE
#define MR_REAL float
#define MR_SUFFIX _s
#define MR_KERNEL(n) n##s
#define MR_FOLD 1024
#define MR_FOLD_ROWS 64
#define MR_MIN_ROWS 16
#else
#define MR_REAL double
#define MR_SUFFIX _d
#define MR_KERNEL(n) n
#define MR_FOLD SIZE_MAX
#define MR_FOLD_ROWS SIZE_MAX
#define MR_MIN_ROWS 2
#endif

#define MR_CAT2(a, b) a##b
#define MR_CAT(a, b) MR_CAT2(a, b)
#define MR(n) MR_CAT(n, MR_SUFFIX)

typedef void (*MR(mr_wfn))(int, const kve_betaPar *, const float *, size_t, size_t, const MR_REAL *,
                           const MR_REAL *, size_t, int, size_t, size_t, size_t, size_t, MR_REAL *,
                           MR_REAL *);
typedef void (*MR(mr_hfn))(int, const kve_betaPar *, const float *, size_t, size_t, const MR_REAL *,
                           const MR_REAL *, size_t, int, size_t, size_t, size_t, size_t, MR_REAL *,
                           MR_REAL *, size_t);

typedef struct {
    size_t vw;
    MR(mr_wfn) wpass;
    MR(mr_hfn) hpass;
} MR(mr_impl);

static MR(mr_impl) MR(mr_choose)(void)
{
#ifdef MB_X86
    const int level = kve_vectorLevel();
    if (level == KVE_VECTOR_AVX512)
        return (MR(mr_impl)){64 / sizeof(MR_REAL), MR_KERNEL(mb_wpass_avx512),
                             MR_KERNEL(mb_hpass_avx512)};
    if (level == KVE_VECTOR_AVX2)
        return (MR(mr_impl)){32 / sizeof(MR_REAL), MR_KERNEL(mb_wpass_avx2),
                             MR_KERNEL(mb_hpass_avx2)};
#endif
    return (MR(mr_impl)){16 / sizeof(MR_REAL), MR_KERNEL(mb_wpass_base), MR_KERNEL(mb_hpass_base)};
}

typedef struct {
    const kve_model *m;
    const float *V;
    MR_REAL *W;   /* F x K: the caller's, or its float copy */
    MR_REAL *H;   /* K x ldh: the working copy, zero past T */
    double *Hout; /* K x T: the caller's, given the working copy for the penalties */
    size_t F, T, K, ldh, Tv;
    size_t keep;    /* W's first columns left as they are */
    size_t blocks;  /* blocks of rows sharing each component's spectrum, 1: none */
    int mode, den;  /* den: b is not 1, its sums are made */
    int penH;       /* penalties or continuity on H */
    int penW;       /* penalties on W */
    int alone;      /* kve_penaltyAlone */
    double *slopes; /* 4 K: kve_penaltySlopes's for a penalty alone, else NULL */
    double gamma;
    kve_betaPar par;
    MR(mr_impl) impl;
    size_t rows, tile, wtile; /* rows per block, frames per H and W tile */
    size_t wfold;             /* frames between the folds of the W sums, 0: at the end */
    size_t panel;             /* frames per panel, 0: none */
    size_t sumRows, laneRows; /* rows of rn and rd, and of an and ad */
    int carry;                /* the lanes' W sums kept from panel to panel */
    int parts;
    double *num[MB_PARTS], *dsum[MB_PARTS];   /* K x ldh each */
    MR_REAL *knum[MB_PARTS], *kden[MB_PARTS]; /* what the kernels add into: the
                                               * same, or float stretches */
    /* the run */
    int iter, stop;
    int (*onRound)(int, int, void *);
    void *user;
    unsigned char *base;
    size_t share; /* bytes of each thread's scratch */
    kve_team team;
} MR(mr_run);

/* one thread's scratch */
typedef struct {
    MR_REAL *an, *ad; /* rows x K vectors: the block's W sums by lane */
    double *rn, *rd;  /* rows x K: the same summed */
    double *sums;     /* K: column sums of W or row sums of H */
    double *wd;       /* rows x K: the block's W in double, for its penalties */
} MR(mr_mine);

/* Each component's blocks of W made its block sums times its spectrum
 * summed over the blocks, over its total: the closest such product in the
 * I-divergence, with the same column sums */
static void MR(mr_share)(const MR(mr_run) * run)
{
    const size_t nK = run->K, nb = run->blocks, fb = run->F / nb;
    for (size_t k = run->keep; k < nK && nb > 1; k++) {
        double s[KVE_MOST_SHARED], total = 0.0;
        for (size_t b = 0; b < nb; b++) {
            s[b] = 0.0;
            for (size_t f = 0; f < fb; f++) s[b] += run->W[(b * fb + f) * nK + k];
            total += s[b];
        }
        for (size_t f = 0; f < fb; f++) {
            double w = 0.0;
            for (size_t b = 0; b < nb; b++) w += run->W[(b * fb + f) * nK + k];
            for (size_t b = 0; b < nb; b++)
                run->W[(b * fb + f) * nK + k] = (MR_REAL)(total > 0.0 ? s[b] * w / total : 0.0);
        }
    }
}

/* rows of part c */
static size_t MR(mr_partStart)(const MR(mr_run) * run, int c)
{
    return run->F * (size_t)c / (size_t)run->parts;
}

/* the W sums of some rows: the lanes' (an, ad: rows x K vectors) and their
 * sums in double (rn, rd: rows x K) */
typedef struct {
    MR_REAL *an, *ad;
    double *rn, *rd;
} MR(mr_wsum);

/* sums[i] += the vw lanes of lanes[i], added in lane order, for n sums;
 * four sums at a time, so that their chains of additions overlap */
static void MR(mr_foldLanes)(MR_REAL *lanes, double *sums, size_t n, size_t vw)
{
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const MR_REAL *x = lanes + i * vw;
        double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
        for (size_t l = 0; l < vw; l++) {
            a0 += x[l];
            a1 += x[vw + l];
            a2 += x[2 * vw + l];
            a3 += x[3 * vw + l];
        }
        sums[i] += a0;
        sums[i + 1] += a1;
        sums[i + 2] += a2;
        sums[i + 3] += a3;
    }
    for (; i < n; i++) {
        double a = 0.0;
        for (size_t l = 0; l < vw; l++) a += lanes[i * vw + l];
        sums[i] += a;
    }
#if MR_SINGLE
    memset(lanes, 0, n * vw * sizeof *lanes);
#endif
}

/* the lanes' W sums of nr rows added to rn and rd */
static void MR(mr_fold)(const MR(mr_run) * run, const MR(mr_wsum) * s, size_t nr)
{
    MR(mr_foldLanes)(s->an, s->rn, nr * run->K, run->impl.vw);
    if (run->den) MR(mr_foldLanes)(s->ad, s->rd, nr * run->K, run->impl.vw);
}

/* the W sums of the rows [f0, f1) += their terms over the frames [t0, t1),
 * tiles of wtile from t0 (a multiple of it); since: frames added since the
 * last fold, returned as it is at t1 */
static size_t MR(mr_wsums)(const MR(mr_run) * run, const MR(mr_wsum) * s, size_t f0, size_t f1,
                           size_t t0, size_t t1, size_t since)
{
    for (size_t a = t0; a < t1; a += run->wtile) {
        const size_t b = a + run->wtile < t1 ? a + run->wtile : t1;
        run->impl.wpass(run->mode, &run->par, run->V, run->T, run->T, run->W, run->H, run->ldh,
                        (int)run->K, f0, f1, a, b, s->an, s->ad);
        since += b - a;
        if (b == run->Tv || (MR_SINGLE && since >= MR_FOLD)) {
            MR(mr_fold)(run, s, f1 - f0);
            since = 0;
        }
    }
    return since;
}

/* the sums s emptied for nr rows, their lanes for nl */
static void MR(mr_wclear)(const MR(mr_run) * run, const MR(mr_wsum) * s, size_t nr, size_t nl)
{
    const size_t nK = run->K, vw = run->impl.vw;
    memset(s->an, 0, nl * nK * vw * sizeof *s->an);
    if (run->den) memset(s->ad, 0, nl * nK * vw * sizeof *s->ad);
    memset(s->rn, 0, nr * nK * sizeof *s->rn);
    memset(s->rd, 0, nr * nK * sizeof *s->rd);
}

/* the W update of the rows [f0, f1) from their sums rn and rd */
static void MR(mr_wupdate)(const MR(mr_run) * run, const MR(mr_mine) * me, double *rn, double *rd,
                           size_t f0, size_t f1)
{
    const size_t nK = run->K, nr = f1 - f0;
    if (!run->den)
        for (size_t i = 0; i < nr * nK; i++) rd[i] = me->sums[i % nK];
    MR_REAL *w = run->W + f0 * nK;
    if (run->penW) {
        for (size_t i = 0; i < nr * nK; i++) me->wd[i] = w[i];
        kve_penaltyW(run->m, me->wd, (int)nr, (int)nK, run->slopes, rn, rd);
    }
    for (size_t r = 0; r < nr; r++)
        for (size_t k = run->keep; k < nK; k++) {
            const size_t i = r * nK + k;
            w[i] = (MR_REAL)(w[i] * mb_power(rn[i] / (rd[i] + run->par.eps), run->gamma));
        }
}

/* the W update of the rows [f0, f1) with the current H */
static void MR(mr_wrows)(const MR(mr_run) * run, const MR(mr_mine) * me, size_t f0, size_t f1)
{
    const MR(mr_wsum) s = {me->an, me->ad, me->rn, me->rd};
    MR(mr_wclear)(run, &s, f1 - f0, f1 - f0);
    MR(mr_wsums)(run, &s, f0, f1, 0, run->Tv, 0);
    MR(mr_wupdate)(run, me, me->rn, me->rd, f0, f1);
}

#if MR_SINGLE
/* the float H sums x added to the double ones and emptied */
static void MR(mr_foldTile)(double *restrict sums, MR_REAL *restrict x, size_t n)
{
    for (size_t j = 0; j < n; j++) sums[j] += x[j];
    memset(x, 0, n * sizeof *x);
}
#endif

/* part c's H sums += those of the rows [f0, f1) over the frames [p0, p1);
 * fold: the float sums added to the double ones */
static void MR(mr_hsums)(const MR(mr_run) * run, int c, size_t f0, size_t f1, size_t p0, size_t p1,
                         int fold)
{
    (void)fold;
    for (size_t t0 = p0; t0 < p1; t0 += run->tile) {
        const size_t t1 = t0 + run->tile < p1 ? t0 + run->tile : p1;
        run->impl.hpass(run->mode, &run->par, run->V, run->T, run->T, run->W, run->H, run->ldh,
                        (int)run->K, f0, f1, t0, t1, run->knum[c], run->kden[c],
                        run->rows * run->T);
#if MR_SINGLE
        for (size_t k = 0; fold && k < run->K; k++) {
            const size_t j0 = k * run->ldh + t0, n = t1 - t0;
            MR(mr_foldTile)(run->num[c] + j0, run->knum[c] + j0, n);
            if (run->den) MR(mr_foldTile)(run->dsum[c] + j0, run->kden[c] + j0, n);
        }
#endif
    }
}

/* the W update of part c's rows, a panel at a time */
static void MR(mr_wpanels)(const MR(mr_run) * run, const MR(mr_mine) * me, int c)
{
    const size_t s = MR(mr_partStart)(run, c), e = MR(mr_partStart)(run, c + 1);
    const size_t nK = run->K, lanes = nK * run->impl.vw;
    const int carry = run->carry;
    const MR(mr_wsum) all = {me->an, me->ad, me->rn, me->rd};
    MR(mr_wclear)(run, &all, e - s, carry ? e - s : run->rows);
    size_t since = 0;
    for (size_t p0 = 0; p0 < run->Tv; p0 += run->panel) {
        const size_t p1 = p0 + run->panel < run->Tv ? p0 + run->panel : run->Tv;
        size_t next = since;
        for (size_t fb = s; fb < e; fb += run->rows) {
            const size_t fe = fb + run->rows < e ? fb + run->rows : e, l = carry ? fb - s : 0;
            const MR(mr_wsum) b = {me->an + l * lanes, me->ad + l * lanes, me->rn + (fb - s) * nK,
                                   me->rd + (fb - s) * nK};
            next = MR(mr_wsums)(run, &b, fb, fe, p0, p1, since);
        }
        since = next;
    }
    for (size_t fb = s; fb < e; fb += run->rows) {
        const size_t fe = fb + run->rows < e ? fb + run->rows : e;
        MR(mr_wupdate)(run, me, me->rn + (fb - s) * nK, me->rd + (fb - s) * nK, fb, fe);
    }
}

/* part c's H sums, a panel at a time, the rows in the same blocks and
 * order for every frame */
static void MR(mr_hpanels)(const MR(mr_run) * run, int c)
{
    const size_t s = MR(mr_partStart)(run, c), e = MR(mr_partStart)(run, c + 1);
    for (size_t p0 = 0; p0 < run->Tv; p0 += run->panel) {
        const size_t p1 = p0 + run->panel < run->Tv ? p0 + run->panel : run->Tv;
        size_t since = 0;
        for (size_t fb = s; fb < e; fb += run->rows) {
            const size_t fe = fb + run->rows < e ? fb + run->rows : e;
            since += fe - fb;
            const int fold = fe == e || since >= MR_FOLD_ROWS;
            if (fold) since = 0;
            MR(mr_hsums)(run, c, fb, fe, p0, p1, fold);
        }
    }
}

/* One sweep over the parts of thread id of nt: W updated (unless noW), then
 * the H sums made (unless noH) */
static void MR(mr_sweep)(const MR(mr_run) * run, const MR(mr_mine) * me, int id, int nt, int noW,
                         int noH)
{
    for (int c = id; c < run->parts && run->panel; c += nt) {
        if (!noW) MR(mr_wpanels)(run, me, c);
        if (!noH) MR(mr_hpanels)(run, c);
    }
    for (int c = id; c < run->parts && !run->panel; c += nt) {
        const size_t e = MR(mr_partStart)(run, c + 1);
        size_t since = 0; /* rows in the float H sums */
        for (size_t fb = MR(mr_partStart)(run, c); fb < e; fb += run->rows) {
            const size_t fe = fb + run->rows < e ? fb + run->rows : e;
            since += fe - fb;
            const int fold = fe == e || since >= MR_FOLD_ROWS;
            if (fold) since = 0;
            if (!noW) MR(mr_wrows)(run, me, fb, fe);
            if (!noH) MR(mr_hsums)(run, c, fb, fe, 0, run->Tv, fold);
        }
    }
}

/* Frames per panel, 0 for none: none while H and its sums (bytes per
 * frame as below) fit in mb_panelPast bytes; else about mb_panelBytes of
 * them, a whole number of W folds when that many fit (the lanes' W sums
 * are then empty at every panel's end), else of W tiles. */
static size_t MR(mr_panelOf)(const MR(mr_run) * run)
{
    const double perFrame = (double)run->K * (sizeof(MR_REAL) + 2 * sizeof(double) +
                                              (MR_SINGLE ? 2 * sizeof(MR_REAL) : 0));
    if ((double)run->ldh * perFrame <= (double)mb_panelPast) return 0;
    const size_t n = (size_t)((double)mb_panelBytes / perFrame);
    if (run->wfold && n >= run->wfold) return n / run->wfold * run->wfold;
    return n < run->wtile ? run->wtile : n / run->wtile * run->wtile;
}

static void MR(mr_report)(MR(mr_run) * run, int done)
{
    if (run->onRound && run->onRound(done, run->iter, run->user) != 0) run->stop = 1;
}

/* bytes for n values of size z, rounded up to a cache line; 0 when it wraps */
static size_t MR(mr_bytes)(size_t n, size_t z)
{
    if (n > (SIZE_MAX - 64) / z) return 0;
    return (n * z + 63) / 64 * 64;
}

/* A penalty alone: each component's scale split between W and the
 * working H brought back within bounds (kve_penaltyBalance), with the H
 * sums made from the old W; kept columns stay as they are */
static void MR(mr_balance)(MR(mr_run) * run)
{
    const size_t nK = run->K;
    for (size_t k = run->keep; k < nK; k++) {
        double sw = 0.0, gh = 0.0;
        for (size_t f = 0; f < run->F; f++) sw += run->W[f * nK + k];
        for (size_t t = 0; t < run->T; t++) gh += run->H[k * run->ldh + t];
        const int n = kve_penaltyBalance(sw, gh);
        if (n == 0) continue;
        for (size_t f = 0; f < run->F; f++) run->W[f * nK + k] = ldexp(run->W[f * nK + k], n);
        for (size_t t = 0; t < run->T; t++) {
            const size_t j = k * run->ldh + t;
            run->H[j] = ldexp(run->H[j], -n);
            run->num[0][j] = ldexp(run->num[0][j], n);
            run->dsum[0][j] = ldexp(run->dsum[0][j], n);
        }
    }
}

/* run->slopes from W and the working H, for a penalty alone */
static void MR(mr_slopes)(MR(mr_run) * run)
{
    const size_t nK = run->K;
    for (size_t k = 0; k < nK; k++) {
        double sums[4] = {0.0, 0.0, 0.0, 0.0};
        for (size_t f = 0; f < run->F; f++) {
            const double w = run->W[f * nK + k];
            sums[0] += w;
            sums[1] += w * w;
        }
        for (size_t t = 0; t < run->T; t++) {
            const double h = run->H[k * run->ldh + t];
            sums[2] += h;
            sums[3] += h * h;
        }
        kve_penaltySlope(run->m, sums, (int)nK, (int)k, run->slopes);
    }
}

static void MR(mr_rounds)(MR(mr_run) * run, int id, int nt)
{
    const size_t nK = run->K, nT = run->T, ldh = run->ldh;
    unsigned char *share = run->base + run->share * (size_t)id;
    /* each piece on its own cache lines: the lanes' sums are whole vectors */
    const size_t rb = MR(mr_bytes)(run->sumRows * nK, sizeof(double));
    const size_t wb = MR(mr_bytes)(run->rows * nK, sizeof(double));
    const size_t ab = MR(mr_bytes)(run->laneRows * nK * run->impl.vw, sizeof(MR_REAL));
    MR(mr_mine) me;
    me.rn = (double *)share;
    me.rd = (double *)(share + rb);
    me.wd = (double *)(share + 2 * rb);
    me.sums = (double *)(share + 2 * rb + wb);
    me.an = (MR_REAL *)(share + 2 * rb + wb + MR(mr_bytes)(nK, sizeof(double)));
    me.ad = (MR_REAL *)((unsigned char *)me.an + ab);
    const size_t u0 = nT * (size_t)id / (size_t)nt, u1 = nT * (size_t)(id + 1) / (size_t)nt;
    const int sumsInDen = run->den || run->penH; /* the H denominators as an array */

    if (run->blocks > 1) {
        if (id == 0) MR(mr_share)(run);
        kve_teamSync(&run->team, nt);
    }
    MR(mr_sweep)(run, &me, id, nt, 1, 0);
    for (int i = 0; i < run->iter; i++) {
        kve_teamSync(&run->team, nt);
        if (id == 0 && i > 0) MR(mr_report)(run, i);
        if (run->blocks > 1 && i > 0) { /* the H sums were made before: the
                                         * column sums are the same */
            if (id == 0) MR(mr_share)(run);
            kve_teamSync(&run->team, nt);
        }
        if (!run->den) /* the H denominators: column sums of W */
            for (size_t k = 0; k < nK; k++) {
                double s = 0.0;
                for (size_t f = 0; f < run->F; f++) s += run->W[f * nK + k];
                me.sums[k] = s;
            }
        /* the parts' sums, in part order, into part 0's */
        for (size_t k = 0; k < nK; k++)
            for (size_t t = u0; t < u1; t++) {
                const size_t j = k * ldh + t;
                double s = run->num[0][j], d = run->den ? run->dsum[0][j] : me.sums[k];
                for (int c = 1; c < run->parts; c++) {
                    s += run->num[c][j];
                    run->num[c][j] = 0.0;
                    if (run->den) {
                        d += run->dsum[c][j];
                        run->dsum[c][j] = 0.0;
                    }
                }
                run->num[0][j] = s;
                if (sumsInDen) run->dsum[0][j] = d;
            }
        if (run->penH) {
            kve_teamSync(&run->team, nt);
            if (id == 0) {
                if (run->slopes) MR(mr_balance)(run);
                for (size_t k = 0; k < nK; k++)
                    for (size_t t = 0; t < nT; t++) run->Hout[k * nT + t] = run->H[k * ldh + t];
                if (run->slopes) MR(mr_slopes)(run);
                kve_penaltyH(run->m, run->Hout, (int)nK, (int)nT, run->slopes, run->num[0],
                             run->dsum[0], (int)ldh);
            }
            kve_teamSync(&run->team, nt);
        }
        for (size_t k = 0; k < nK; k++)
            for (size_t t = u0; t < u1; t++) {
                const size_t j = k * ldh + t;
                const double d = sumsInDen ? run->dsum[0][j] : me.sums[k];
                run->H[j] = (MR_REAL)(run->H[j] *
                                      mb_power(run->num[0][j] / (d + run->par.eps), run->gamma));
                run->num[0][j] = 0.0;
                if (sumsInDen) run->dsum[0][j] = 0.0;
            }
        kve_teamSync(&run->team, nt);
        if (run->stop) break; /* every thread sees it after the same barrier */
        if (run->slopes) {    /* the W update's, from the new H */
            if (id == 0) MR(mr_slopes)(run);
            kve_teamSync(&run->team, nt);
        }
        if (!run->den) /* the W denominators: row sums of the new H */
            for (size_t k = 0; k < nK; k++) {
                double s = 0.0;
                for (size_t t = 0; t < nT; t++) s += run->H[k * ldh + t];
                me.sums[k] = s;
            }
        MR(mr_sweep)(run, &me, id, nt, 0, i + 1 == run->iter);
    }
    kve_teamSync(&run->team, nt);
    if (id == 0 && run->blocks > 1) MR(mr_share)(run);
    if (id == 0 && !run->stop) MR(mr_report)(run, run->iter);
}

static void MR(mr_body)(void *job, int id, int nt)
{
    MR(mr_rounds)(job, id, nt);
}

/* n rounds as kve_modelRounds, W's first `keep` columns kept; W and H are
 * the caller's doubles, rounded to MR_REAL for the rounds */
static int MR(mr_modelRounds)(const kve_model *m, const float *V, int rows, int frames, int K,
                              int keep, double *W, double *H, int n,
                              int (*onRound)(int, int, void *), void *user)
{
    MR(mr_run) run;
    memset(&run, 0, sizeof run);
    run.m = m;
    run.V = V;
    run.Hout = H;
    run.F = (size_t)rows;
    run.T = (size_t)frames;
    run.K = (size_t)K;
    run.keep = keep > 0 ? (size_t)keep : 0;
    run.blocks = (size_t)kve_modelShared(m, rows);
    run.mode = mb_modeOf(m->beta);
    run.den = run.mode != MB_KL;
    run.alone = kve_penaltyAlone(m);
    run.penH = m->l1H != 0.0 || m->l2H != 0.0 || m->continuity != 0.0 || run.alone == KVE_PENALTY_W;
    run.penW = m->l1W != 0.0 || m->l2W != 0.0 || run.alone == KVE_PENALTY_H;
    run.gamma = mb_gamma(m->beta) * kve_modelRelax(m);
    run.par.eps = DBL_EPSILON;
    run.par.vfloor = m->beta <= 0.0 ? DBL_EPSILON : 0.0;
    run.par.beta1 = m->beta - 1.0;
    run.impl = MR(mr_choose)();
    run.iter = n;
    run.onRound = onRound;
    run.user = user;

    /* the shape: H rows an odd number of cache lines apart; tiles of H of
     * about 8 KiB in the H pass and 16 KiB in the W pass; blocks of V of
     * about 256 KiB, and of at least MR_MIN_ROWS rows: on a long sound every
     * block streams all of H and its sums, which then cost more than
     * reading the block's V twice */
    const size_t vw = run.impl.vw, nK = run.K, nT = run.T, line = 64 / sizeof(MR_REAL);
    run.Tv = (nT + vw - 1) / vw * vw;
    run.ldh = (nT + line - 1) / line * line;
    if ((run.ldh / line) % 2 == 0) run.ldh += line;
    run.tile = (8192 / sizeof(MR_REAL) / nK) / vw * vw;
    if (run.tile < vw) run.tile = vw;
    run.wtile = (16384 / sizeof(MR_REAL) / nK) / vw * vw;
    if (run.wtile < vw) run.wtile = vw;
    run.rows = 65536 / nT;
    run.rows = run.rows < MR_MIN_ROWS ? MR_MIN_ROWS : run.rows > 64 ? 64 : run.rows;
    const double work = (double)rows * (double)frames * (double)K;
    run.parts = work >= MB_THREAD_WORK && rows >= MB_PARTS ? MB_PARTS : 1;
    run.wfold = MR_SINGLE ? (MR_FOLD + run.wtile - 1) / run.wtile * run.wtile : 0;
    run.panel = MR(mr_panelOf)(&run);
    run.carry = run.panel && (!run.wfold || run.panel % run.wfold != 0);
    const size_t partRows = (run.F + (size_t)run.parts - 1) / (size_t)run.parts;
    run.sumRows = run.panel ? partRows : run.rows;
    run.laneRows = run.carry ? partRows : run.rows;
    int nth = kve_teamMost();
    if (nth > run.parts) nth = run.parts;
    if (nth < 1) nth = 1;

    /* one block: the working H, the parts' sums (and the kernels' float
     * stretches), W's float copy, each thread's share */
    const size_t kh = nK * run.ldh;
    if (kh / nK != run.ldh) return -1;
    const size_t hb = MR(mr_bytes)(kh, sizeof(MR_REAL)), sb = MR(mr_bytes)(kh, sizeof(double));
    const size_t kb = MR_SINGLE ? hb : 0;
    const size_t wb = MR_SINGLE ? MR(mr_bytes)((size_t)rows * nK, sizeof(MR_REAL)) : 0;
    const size_t rb = MR(mr_bytes)(run.sumRows * nK, sizeof(double));
    const size_t db = MR(mr_bytes)(run.rows * nK, sizeof(double));
    const size_t ab = MR(mr_bytes)(run.laneRows * nK * vw, sizeof(MR_REAL));
    const size_t share = 2 * rb + db + MR(mr_bytes)(nK, sizeof(double)) + 2 * ab;
    if (!hb || !sb || (MR_SINGLE && !wb) || !rb || !db || !ab || share < ab) return -1;
    const size_t per = 2 * (sb + kb);
    if (per > (SIZE_MAX - hb - wb - 64) / (size_t)run.parts ||
        share > (SIZE_MAX - hb - wb - 64 - per * (size_t)run.parts) / (size_t)nth)
        return -1;
    const size_t total = hb + wb + per * (size_t)run.parts + share * (size_t)nth + 64;
    unsigned char *block = calloc(total, 1);
    run.slopes = run.alone != KVE_PENALTY_BOTH ? malloc(4 * nK * sizeof *run.slopes) : NULL;
    if (!block || (run.alone != KVE_PENALTY_BOTH && !run.slopes)) {
        free(block);
        free(run.slopes);
        return -1;
    }
    unsigned char *at = (unsigned char *)(((uintptr_t)block + 63) & ~(uintptr_t)63);
    run.H = (MR_REAL *)at;
    at += hb;
    for (int c = 0; c < run.parts; c++) {
        run.num[c] = (double *)at;
        run.dsum[c] = (double *)(at + sb);
        at += 2 * sb;
#if MR_SINGLE
        run.knum[c] = (MR_REAL *)at;
        run.kden[c] = (MR_REAL *)(at + kb);
        at += 2 * kb;
#else
        run.knum[c] = (MR_REAL *)run.num[c];
        run.kden[c] = (MR_REAL *)run.dsum[c];
#endif
    }
#if MR_SINGLE
    run.W = (MR_REAL *)at;
    at += wb;
    for (size_t i = 0; i < (size_t)rows * nK; i++) run.W[i] = (MR_REAL)W[i];
#else
    run.W = (MR_REAL *)W;
#endif
    run.base = at;
    run.share = share;
    for (size_t k = 0; k < nK; k++)
        for (size_t t = 0; t < nT; t++) run.H[k * run.ldh + t] = (MR_REAL)H[k * nT + t];

    kve_teamRun(&run.team, nth, MR(mr_body), &run);

    for (size_t k = 0; k < nK; k++)
        for (size_t t = 0; t < nT; t++) H[k * nT + t] = run.H[k * run.ldh + t];
#if MR_SINGLE /* the kept columns stay the caller's, unrounded */
    for (size_t f = 0; f < (size_t)rows; f++)
        for (size_t k = run.keep; k < nK; k++) W[f * nK + k] = run.W[f * nK + k];
#endif
    free(block);
    free(run.slopes);
    return run.stop ? 1 : 0;
}

#undef MR
#undef MR_CAT
#undef MR_CAT2
#undef MR_REAL
#undef MR_SUFFIX
#undef MR_KERNEL
#undef MR_FOLD
#undef MR_FOLD_ROWS
#undef MR_MIN_ROWS
#undef MR_SINGLE
