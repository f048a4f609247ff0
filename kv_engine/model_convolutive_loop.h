/* The convolutive rounds' driver, one copy per precision: the includer
 * defines KC_SINGLE (0: the kernels in double, 1: in float), undefined at
 * the end. W and H are the caller's doubles in both; in float they hold
 * float values, rounded after every update, and the kernels read float
 * copies of them. Sums that grow with the sound are double: the W sums are
 * folded out of the kernels' float lanes every KC_FOLD frames, the H sums
 * out of a float stretch every KC_FOLD_ROWS rows, and the column sums of W,
 * the row sums of H, the Gram matrices and the updates' ratios are double. */

#if KC_SINGLE
#define KC_REAL float
#define KC_GEOM kc_geom_s
#define KC_KERNEL(n) n##s
#define KC_ROUND(x) ((double)(float)(x))
#define KC_FOLD_ROWS 64
#define KP(n) n##_s
#else
#define KC_REAL double
#define KC_GEOM kc_geom_d
#define KC_KERNEL(n) n
#define KC_ROUND(x) (x)
#define KC_FOLD_ROWS SIZE_MAX
#define KP(n) n##_d
#endif
/* the most values in a vector of any kernel copy, and the most frames a
 * kernel takes at a time (four times that) */
#define KC_LANES (64 / sizeof(KC_REAL))

typedef struct {
    void (*lam)(const KC_GEOM *, const KC_REAL *, size_t, KC_REAL *, size_t);
    void (*hnum)(const KC_GEOM *, const KC_REAL *, size_t, const KC_REAL *, size_t, KC_REAL *,
                 size_t);
    void (*wnum)(const KC_GEOM *, const KC_REAL *, size_t, size_t, KC_REAL *, double *);
    void (*quotient)(int, double, const float *, size_t, KC_REAL *, KC_REAL *, size_t);
    void (*axpy)(double *, double, const double *, size_t);
    void (*axpyh)(double *, double, const KC_REAL *, size_t);
} KP(kc_impl);

static KP(kc_impl) KP(kc_choose)(void)
{
#ifdef KC_X86
    const int level = kve_vectorLevel();
    if (level == KVE_VECTOR_AVX512)
        return (KP(kc_impl)){KC_KERNEL(kc_lam_avx512),
                             KC_KERNEL(kc_hnum_avx512),
                             KC_KERNEL(kc_wnum_avx512),
                             KC_KERNEL(kc_quotient_avx512),
                             kc_axpy_avx512,
                             KC_KERNEL(kc_axpyh_avx512)};
    if (level == KVE_VECTOR_AVX2)
        return (KP(kc_impl)){KC_KERNEL(kc_lam_avx2),
                             KC_KERNEL(kc_hnum_avx2),
                             KC_KERNEL(kc_wnum_avx2),
                             KC_KERNEL(kc_quotient_avx2),
                             kc_axpy_avx2,
                             KC_KERNEL(kc_axpyh_avx2)};
#endif
    return (KP(kc_impl)){KC_KERNEL(kc_lam_base),
                         KC_KERNEL(kc_hnum_base),
                         KC_KERNEL(kc_wnum_base),
                         KC_KERNEL(kc_quotient_base),
                         kc_axpy_base,
                         KC_KERNEL(kc_axpyh_base)};
}

/* one thread's scratch */
typedef struct {
    KC_REAL *wc;      /* rb x K L: the block's W, l K + k */
    KC_REAL *X, *Y;   /* rb x lda: Λ, then A and B */
    KC_REAL *acc;     /* rb x K L x KC_LANES: W sums by lane */
    double *nW, *dW;  /* rb x K L: the W update's sums, (l nb + r) K + k */
    double *dj;       /* K L */
    KC_REAL *kn, *kd; /* K x ldn: the float H sums of a stretch of rows (float only) */
} KP(kc_mine);

typedef struct {
    const kve_model *m;
    const float *V;
    double *W, *H;
    size_t R, T, K, L;
    int kind;
    KC_GEOM g;
    KP(kc_impl) impl;
    size_t lda;            /* row stride of X and Y: Tv and the span's overhang */
    size_t ldn;            /* row stride of the H sums */
    size_t rb;             /* rows per block */
    size_t slabs;          /* slabs of rows, each with its own H sums */
    int gram;              /* Euclidean through the Gram matrices */
    KC_REAL *Hp;           /* the padded H of g */
    size_t *off;           /* the offsets of g */
    double *parts;         /* slabs x 2 x K x ldn: each slab's H sums (num, den) */
    double *colSums;       /* K L: sum_r W_l[r][k] */
    double *rowSums;       /* K L: sum_t H[k][t - l] */
    int alone;             /* kve_penaltyAlone */
    double *slopes;        /* 4 K: kve_penaltySlopes's for a penalty alone */
    double *gramW;         /* K L x K L: sum_r W_l[r][k] W_l'[r][k'] (Euclidean) */
    double *gramH;         /* K L x K L: sum_t H[k][t - l] H[k'][t - l'] (Euclidean) */
    unsigned char *shares; /* per thread scratch, share bytes apart */
    size_t share;
    int n, stop;
    int (*onRound)(int, int, void *);
    void *user;
    kve_team team;
} KP(kc_run);

/* a row length of whole cache lines, an odd number of them */
static size_t KP(kc_stride)(size_t n)
{
    n = kc_up(n, KC_LANES);
    return (n / KC_LANES) % 2 ? n : n + KC_LANES;
}

static KP(kc_mine) KP(kc_mineOf)(const KP(kc_run) * run, int id)
{
    const size_t K = run->K, KL = K * run->L, rb = run->rb;
    unsigned char *at = run->shares + run->share * (size_t)id;
    KP(kc_mine) me;
    me.wc = kc_take(&at, rb * KL, sizeof(KC_REAL));
    me.X = kc_take(&at, rb * run->lda, sizeof(KC_REAL));
    me.Y = kc_take(&at, rb * run->lda, sizeof(KC_REAL));
    me.acc = kc_take(&at, rb * KL * KC_LANES, sizeof(KC_REAL));
    me.nW = kc_take(&at, rb * KL, sizeof(double));
    me.dW = kc_take(&at, rb * KL, sizeof(double));
    me.dj = kc_take(&at, KL, sizeof(double));
    me.kn = KC_SINGLE ? kc_take(&at, K * run->ldn, sizeof(KC_REAL)) : NULL;
    me.kd = KC_SINGLE ? kc_take(&at, K * run->ldn, sizeof(KC_REAL)) : NULL;
    return me;
}

/* the block's W as rows of K L values */
static void KP(kc_gather)(const KP(kc_run) * run, size_t g0, size_t nb, KC_REAL *wc)
{
    const size_t K = run->K, KL = K * run->L;
    for (size_t r = 0; r < nb; r++)
        for (size_t l = 0; l < run->L; l++) {
            const double *w = run->W + (l * run->R + g0 + r) * K;
            for (size_t k = 0; k < K; k++) wc[r * KL + l * K + k] = (KC_REAL)w[k];
        }
}

/* Λ of the rows [g0, g0 + nb), then A in X and B in Y */
static void KP(kc_quotients)(const KP(kc_run) * run, const KP(kc_mine) * me, size_t g0, size_t nb)
{
    KP(kc_gather)(run, g0, nb, me->wc);
    run->impl.lam(&run->g, me->wc, nb, me->X, run->lda);
    for (size_t r = 0; r < nb; r++)
        run->impl.quotient(run->kind, run->m->beta, run->V + (g0 + r) * run->T, run->T,
                           me->X + r * run->lda, me->Y + r * run->lda, run->lda);
}

/* the W update of the rows [g0, g0 + nb) from its sums in nW and dW */
static void KP(kc_wfinish)(const KP(kc_run) * run, const KP(kc_mine) * me, size_t g0, size_t nb)
{
    const size_t K = run->K, L = run->L, R = run->R;
    for (size_t l = 0; l < L; l++) {
        double *w = run->W + (l * R + g0) * K;
        double *num = me->nW + l * nb * K, *den = me->dW + l * nb * K;
        kve_penaltyW(run->m, w, (int)nb, (int)K, run->alone ? run->slopes : NULL, num, den);
        for (size_t i = 0; i < nb * K; i++) w[i] = KC_ROUND(w[i] * (num[i] / (den[i] + KC_EPS)));
    }
}

/* the W update of the rows [g0, g0 + nb) from A and B of the current W */
static void KP(kc_wupdate)(const KP(kc_run) * run, const KP(kc_mine) * me, size_t g0, size_t nb)
{
    const size_t K = run->K, L = run->L;
    run->impl.wnum(&run->g, me->X, run->lda, nb, me->acc, me->nW);
    if (run->kind != KC_KL) {
        run->impl.wnum(&run->g, me->Y, run->lda, nb, me->acc, me->dW);
    } else {
        for (size_t l = 0; l < L; l++)
            for (size_t r = 0; r < nb; r++)
                memcpy(me->dW + (l * nb + r) * K, run->rowSums + l * K, K * sizeof *me->dW);
    }
    KP(kc_wfinish)(run, me, g0, nb);
}

/* Euclidean: A is V itself, and the sums with B = Λ + eps come from the
 * Gram matrices, sum_t (Λ[r][t] + eps) H[k][t - l] being
 * sum_j' W[r][j'] gramH[j'][j] + eps rowSums[j]. Then no Λ is made. */
static void KP(kc_euclBlock)(const KP(kc_run) * run, const KP(kc_mine) * me, size_t g0, size_t nb,
                             int w, KC_REAL *num)
{
    const size_t K = run->K, L = run->L, KL = K * L, T = run->T, lda = run->lda;
    for (size_t r = 0; r < nb; r++) {
        const float *v = run->V + (g0 + r) * T;
        KC_REAL *x = me->X + r * lda;
        for (size_t t = 0; t < T; t++) x[t] = (KC_REAL)v[t];
        memset(x + T, 0, (lda - T) * sizeof *x);
    }
    if (w) {
        KP(kc_gather)(run, g0, nb, me->wc);
        run->impl.wnum(&run->g, me->X, lda, nb, me->acc, me->nW);
        double *d = me->dj;
        for (size_t r = 0; r < nb; r++) {
            const KC_REAL *wr = me->wc + r * KL;
            for (size_t j = 0; j < KL; j++) d[j] = KC_EPS * run->rowSums[j];
            for (size_t i = 0; i < KL; i++) run->impl.axpy(d, wr[i], run->gramH + i * KL, KL);
            for (size_t l = 0; l < L; l++)
                memcpy(me->dW + (l * nb + r) * K, d + l * K, K * sizeof *d);
        }
        KP(kc_wfinish)(run, me, g0, nb);
    }
    if (num) {
        KP(kc_gather)(run, g0, nb, me->wc);
        run->impl.hnum(&run->g, me->wc, nb, me->X, lda, num, run->ldn);
    }
}

/* the rows of slab s */
static void KP(kc_slabRows)(const KP(kc_run) * run, size_t s, size_t *g0, size_t *g1)
{
    *g0 = run->R * s / run->slabs;
    *g1 = run->R * (s + 1) / run->slabs;
}

/* float: the stretch's H sums added to the slab's and cleared */
static void KP(kc_hfold)(const KP(kc_run) * run, const KP(kc_mine) * me, double *num, double *den)
{
#if KC_SINGLE
    const size_t Kn = run->K * run->ldn;
    for (size_t i = 0; i < Kn; i++) num[i] += (double)me->kn[i];
    memset(me->kn, 0, Kn * sizeof *me->kn);
    if (run->kind != KC_KL && !run->gram) {
        for (size_t i = 0; i < Kn; i++) den[i] += (double)me->kd[i];
        memset(me->kd, 0, Kn * sizeof *me->kd);
    }
#else
    (void)run, (void)me, (void)num, (void)den;
#endif
}

/* The blocks of slab s: with fresh H, the W update (w); then, with the new
 * rows, the slab's share of the next H sums (h) */
static void KP(kc_slab)(const KP(kc_run) * run, const KP(kc_mine) * me, size_t s, int w, int h)
{
    const size_t Kn = run->K * run->ldn;
    double *num = run->parts + s * 2 * Kn, *den = num + Kn;
#if KC_SINGLE
    KC_REAL *kn = me->kn, *kd = me->kd; /* cleared since their last fold */
#else
    KC_REAL *kn = num, *kd = den;
#endif
    size_t g0, g1, since = 0;
    KP(kc_slabRows)(run, s, &g0, &g1);
    if (h) memset(num, 0, 2 * Kn * sizeof *num);
    for (size_t b = g0; b < g1; b += run->rb) {
        const size_t nb = b + run->rb < g1 ? run->rb : g1 - b;
        if (run->gram) {
            KP(kc_euclBlock)(run, me, b, nb, w, h ? kn : NULL);
        } else {
            if (w) {
                KP(kc_quotients)(run, me, b, nb);
                KP(kc_wupdate)(run, me, b, nb);
            }
            if (h) {
                KP(kc_quotients)(run, me, b, nb);
                run->impl.hnum(&run->g, me->wc, nb, me->X, run->lda, kn, run->ldn);
                if (run->kind != KC_KL)
                    run->impl.hnum(&run->g, me->wc, nb, me->Y, run->lda, kd, run->ldn);
            }
        }
        since += nb;
        if (h && (b + nb == g1 || since >= KC_FOLD_ROWS)) {
            KP(kc_hfold)(run, me, num, den);
            since = 0;
        }
    }
}

/* H in the padded copy the kernels read; for Kullback-Leibler and
 * Euclidean the sums over its shifted rows, and for Euclidean their Gram
 * matrix */
static void KP(kc_padH)(KP(kc_run) * run)
{
    const size_t K = run->K, T = run->T, L = run->L, KL = K * L;
    for (size_t k = 0; k < K; k++) {
        KC_REAL *hp = run->Hp + k * run->g.ldp + run->g.P;
        const double *h = run->H + k * T;
        for (size_t t = 0; t < T; t++) hp[t] = (KC_REAL)h[t];
    }
    if (run->kind != KC_KL && !run->gram) return;
    for (size_t j = 0; j < KL && run->gram; j++)
        for (size_t i = j; i < KL; i++) {
            /* four chains, so that the additions overlap; products of
             * floats are exact in double */
            const KC_REAL *a = run->Hp + run->off[i], *b = run->Hp + run->off[j];
            double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
            size_t t = 0;
            for (; t + 4 <= T; t += 4) {
                s0 += (double)a[t] * (double)b[t];
                s1 += (double)a[t + 1] * (double)b[t + 1];
                s2 += (double)a[t + 2] * (double)b[t + 2];
                s3 += (double)a[t + 3] * (double)b[t + 3];
            }
            for (; t < T; t++) s0 += (double)a[t] * (double)b[t];
            run->gramH[i * KL + j] = run->gramH[j * KL + i] = (s0 + s1) + (s2 + s3);
        }
    for (size_t k = 0; k < K; k++) {
        /* sum over t < T - l, for each l from the longest down */
        const double *h = run->H + k * T;
        size_t end = 0;
        double s = 0.0;
        for (size_t li = L; li-- > 0;) {
            const size_t upto = T > li ? T - li : 0;
            for (; end < upto; end++) s += h[end];
            run->rowSums[li * K + k] = s;
        }
    }
}

/* Euclidean: den[k][t] = sum over the l with t + l inside of
 * sum_r W_l[r][k] (Λ[r][t + l] + eps), from W's Gram matrix */
static void KP(kc_euclDen)(KP(kc_run) * run, double *den)
{
    const size_t K = run->K, T = run->T, L = run->L, R = run->R, KL = K * L, ldp = run->g.ldp;
    double *G = run->gramW, *w = KP(kc_mineOf)(run, 0).dj; /* free here */
    for (size_t i = 0; i < KL * KL; i++) G[i] = 0.0;
    for (size_t r = 0; r < R; r++) {
        for (size_t l = 0; l < L; l++) memcpy(w + l * K, run->W + (l * R + r) * K, K * sizeof *w);
        for (size_t i = 0; i < KL; i++) run->impl.axpy(G + i * KL + i, w[i], w + i, KL - i);
    }
    for (size_t i = 0; i < KL; i++)
        for (size_t j = 0; j < i; j++) G[i * KL + j] = G[j * KL + i];
    for (size_t k = 0; k < K; k++) {
        double *d = den + k * run->ldn;
        for (size_t t = 0; t < T; t++) d[t] = 0.0;
        /* Λ[.][t + l] = sum_j' W[.][j'] H[k'][t + l - l'], for t + l inside */
        for (size_t l = 0; l < L && l < T; l++)
            for (size_t j = 0; j < KL; j++) {
                const double g = G[(l * K + k) * KL + j];
                const KC_REAL *h = run->Hp + (j % K) * ldp + run->g.P + l - j / K;
                run->impl.axpyh(d, g, h, T - l);
            }
        for (size_t t = 0; t < T; t++) {
            double e = 0.0;
            for (size_t l = 0; l < L && t + l < T; l++) e += run->colSums[l * K + k];
            d[t] += KC_EPS * e;
        }
    }
}

/* The H update from the slabs' sums; one thread, the others waiting */
static void KP(kc_hupdate)(KP(kc_run) * run)
{
    const size_t K = run->K, T = run->T, L = run->L, R = run->R, ldn = run->ldn;
    const size_t Kn = K * ldn;
    double *num = run->parts, *den = num + Kn;
    for (size_t s = 1; s < run->slabs; s++) {
        const double *ns = run->parts + s * 2 * Kn, *ds = ns + Kn;
        for (size_t i = 0; i < Kn; i++) num[i] += ns[i];
        if (run->kind != KC_KL && !run->gram)
            for (size_t i = 0; i < Kn; i++) den[i] += ds[i];
    }
    for (size_t k = 0; run->alone && k < K; k++) { /* kve_penaltyBalance */
        double sw = 0.0, gh = 0.0;
        for (size_t i = 0; i < L * R; i++) sw += run->W[i * K + k];
        for (size_t t = 0; t < T; t++) gh += run->H[k * T + t];
        const int e = kve_penaltyBalance(sw, gh);
        if (e == 0) continue;
        for (size_t i = 0; i < L * R; i++) run->W[i * K + k] = ldexp(run->W[i * K + k], e);
        for (size_t t = 0; t < T; t++) {
            run->H[k * T + t] = ldexp(run->H[k * T + t], -e);
            num[k * ldn + t] = ldexp(num[k * ldn + t], e);
            den[k * ldn + t] = ldexp(den[k * ldn + t], e);
        }
        KC_REAL *hp = run->Hp + k * run->g.ldp; /* the padded copy too */
        for (size_t i = 0; i < run->g.ldp; i++) hp[i] = (KC_REAL)ldexp(hp[i], -e);
    }
    if (run->kind == KC_KL || run->gram) {
        /* sum_r W_l[r][k] */
        for (size_t j = 0; j < K * L; j++) run->colSums[j] = 0.0;
        for (size_t l = 0; l < L; l++)
            for (size_t r = 0; r < R; r++)
                for (size_t k = 0; k < K; k++)
                    run->colSums[l * K + k] += run->W[(l * R + r) * K + k];
    }
    if (run->gram) {
        KP(kc_euclDen)(run, den);
    } else if (run->kind == KC_KL) {
        for (size_t k = 0; k < K; k++)
            for (size_t t = 0; t < T; t++) {
                double d = 0.0;
                for (size_t l = 0; l < L && t + l < T; l++) d += run->colSums[l * K + k];
                den[k * ldn + t] = d;
            }
    }
    if (run->alone) kve_penaltySlopes(run->m, run->W, run->H, (int)R, (int)T, (int)K, run->slopes);
    kve_penaltyH(run->m, run->H, (int)K, (int)T, run->alone ? run->slopes : NULL, num, den,
                 (int)ldn);
    for (size_t k = 0; k < K; k++)
        for (size_t t = 0; t < T; t++) {
            double *h = run->H + k * T + t;
            *h = KC_ROUND(*h * (num[k * ldn + t] / (den[k * ldn + t] + KC_EPS)));
        }
    if (run->alone) kve_penaltySlopes(run->m, run->W, run->H, (int)R, (int)T, (int)K, run->slopes);
    KP(kc_padH)(run);
}

/* The rounds as thread id of nt sees them. Two meetings a round: before the
 * H update (every slab's sums made) and after it. */
static void KP(kc_rounds)(KP(kc_run) * run, int id, int nt)
{
    const KP(kc_mine) me = KP(kc_mineOf)(run, id);
    const size_t s0 = run->slabs * (size_t)id / (size_t)nt;
    const size_t s1 = run->slabs * (size_t)(id + 1) / (size_t)nt;
    for (size_t s = s0; s < s1; s++) KP(kc_slab)(run, &me, s, 0, 1);
    for (int i = 0; i < run->n; i++) {
        kve_teamSync(&run->team, nt);
        if (id == 0) {
            if (i > 0 && run->onRound && run->onRound(i, run->n, run->user) != 0) run->stop = 1;
            if (!run->stop) KP(kc_hupdate)(run);
        }
        kve_teamSync(&run->team, nt);
        if (run->stop) break; /* every thread sees it after the same meeting */
        for (size_t s = s0; s < s1; s++) KP(kc_slab)(run, &me, s, 1, i + 1 < run->n);
    }
    kve_teamSync(&run->team, nt);
    if (id == 0 && !run->stop && run->onRound && run->onRound(run->n, run->n, run->user) != 0)
        run->stop = 1;
}

static void KP(kc_body)(void *job, int id, int nt)
{
    KP(kc_rounds)(job, id, nt);
}

/* The sizes of the job, from the sizes of the problem alone */
static void KP(kc_plan)(KP(kc_run) * run)
{
    const size_t K = run->K, L = run->L, T = run->T;
    KC_GEOM *g = &run->g;
    g->K = K;
    g->L = L;
    g->P = L - 1;
    g->Tv = kc_up(T, 4 * KC_LANES);
    g->ldp = KP(kc_stride)(g->P + g->Tv);
    /* tiles of H of about 16 KiB */
    g->tile = (16384 / sizeof(KC_REAL) / K) / (4 * KC_LANES) * (4 * KC_LANES);
    if (g->tile < 4 * KC_LANES) g->tile = 4 * KC_LANES;
    run->ldn = KP(kc_stride)(g->Tv);
    run->lda = KP(kc_stride)(g->Tv + L - 1);
    /* A and B of a block in about 512 KiB */
    run->rb = 262144 / sizeof(KC_REAL) / run->lda;
    run->rb = run->rb < 4 ? 4 : run->rb > 64 ? 64 : run->rb;
    /* the Gram matrices where they cost little beside the passes they save */
    run->gram = run->kind == KC_EUC && 4 * K * L <= (run->R < T ? run->R : T) && K * L <= 1024;
    run->slabs = run->R / KC_SLAB_ROWS;
    run->slabs = run->slabs < 1 ? 1 : run->slabs > KC_MOST_SLABS ? KC_MOST_SLABS : run->slabs;
    /* the slabs' sums within 64 MiB when more than one */
    while (run->slabs > 1 && (double)run->slabs * 2.0 * (double)K * (double)run->ldn > 8388608.0)
        run->slabs--;
}

static int KP(kc_threadCount)(const KP(kc_run) * run)
{
    int nth = kve_teamMost();
    if (nth < 1 ||
        (double)run->R * (double)run->T * (double)run->K * (double)run->L < KC_THREAD_WORK)
        nth = 1;
    if ((size_t)nth > run->slabs) nth = (int)run->slabs;
    return nth;
}

/* one block for everything, carved up; NULL when it can't be had */
static void *KP(kc_setup)(KP(kc_run) * run, int nth)
{
    const size_t K = run->K, KL = K * run->L, rb = run->rb, z = sizeof(KC_REAL);
    size_t share = 0, total = 0;
    int ok = kc_add(&share, rb * KL, 1, z) && kc_add(&share, rb, run->lda, z) &&
             kc_add(&share, rb, run->lda, z) && kc_add(&share, rb * KL, KC_LANES, z) &&
             kc_add(&share, rb * KL, 1, sizeof(double)) &&
             kc_add(&share, rb * KL, 1, sizeof(double)) && kc_add(&share, KL, 1, sizeof(double));
    if (KC_SINGLE) ok = ok && kc_add(&share, K, run->ldn, z) && kc_add(&share, K, run->ldn, z);
    run->share = share;
    ok = ok && kc_add(&total, K, run->g.ldp, z) &&
         kc_add(&total, run->slabs * 2 * K, run->ldn, sizeof(double)) &&
         kc_add(&total, KL, 1, sizeof(double)) && kc_add(&total, KL, 1, sizeof(double)) &&
         kc_add(&total, run->gram ? KL : 0, KL, sizeof(double)) &&
         kc_add(&total, run->gram ? KL : 0, KL, sizeof(double)) &&
         kc_add(&total, (size_t)nth, share, 1) && kc_add(&total, KL, 1, sizeof(size_t)) &&
         kc_add(&total, 4 * K, 1, sizeof(double));
    unsigned char *block = ok ? malloc(total + 64) : NULL;
    if (!block) return NULL;
    unsigned char *at = (unsigned char *)(((uintptr_t)block + 63) & ~(uintptr_t)63);
    run->Hp = kc_take(&at, K * run->g.ldp, z);
    memset(run->Hp, 0, K * run->g.ldp * z);
    run->parts = kc_take(&at, run->slabs * 2 * K * run->ldn, sizeof(double));
    run->colSums = kc_take(&at, KL, sizeof(double));
    run->rowSums = kc_take(&at, KL, sizeof(double));
    run->gramW = kc_take(&at, run->gram ? KL * KL : 0, sizeof(double));
    run->gramH = kc_take(&at, run->gram ? KL * KL : 0, sizeof(double));
    run->shares = at;
    at += (size_t)nth * share;
    run->off = kc_take(&at, KL, sizeof(size_t));
    run->slopes = kc_take(&at, 4 * K, sizeof(double));
    for (size_t l = 0; l < run->L; l++)
        for (size_t k = 0; k < K; k++) run->off[l * K + k] = k * run->g.ldp + run->g.P - l;
    run->g.Hp = run->Hp;
    run->g.off = run->off;
    for (int id = 0; KC_SINGLE && id < nth; id++) {
        /* the float H sums start cleared, and are left so by every fold */
        const KP(kc_mine) me = KP(kc_mineOf)(run, id);
        memset(me.kn, 0, K * run->ldn * z);
        memset(me.kd, 0, K * run->ldn * z);
    }
    return block;
}

/* kve_convolutiveRoundsIn for sizes of at least 1 and n > 0 */
static int KP(kc_convolutive)(const kve_model *m, const float *V, int rows, int frames, int K,
                              double *W, double *H, int n, int (*onRound)(int, int, void *),
                              void *user)
{
    KP(kc_run) run;
    memset(&run, 0, sizeof run);
    run.m = m;
    run.alone = kve_penaltyAlone(m);
    run.V = V;
    run.W = W;
    run.H = H;
    run.R = (size_t)rows;
    run.T = (size_t)frames;
    run.K = (size_t)K;
    run.L = (size_t)m->span;
    run.kind = kc_kind(m->beta);
    run.n = n;
    run.onRound = onRound;
    run.user = user;
    run.impl = KP(kc_choose)();
    KP(kc_plan)(&run);
    const int nth = KP(kc_threadCount)(&run);
    void *block = KP(kc_setup)(&run, nth);
    if (!block) return -1;
#if KC_SINGLE /* the factors as the rounds hold them */
    for (size_t i = 0; i < run.L * run.R * run.K; i++) W[i] = KC_ROUND(W[i]);
    for (size_t i = 0; i < run.K * run.T; i++) H[i] = KC_ROUND(H[i]);
#endif
    KP(kc_padH)(&run);
    kve_teamRun(&run.team, nth, KP(kc_body), &run);
    free(block);
    return run.stop ? 1 : 0;
}

#undef KC_REAL
#undef KC_GEOM
#undef KC_KERNEL
#undef KC_ROUND
#undef KC_FOLD_ROWS
#undef KC_LANES
#undef KP
#undef KC_SINGLE
