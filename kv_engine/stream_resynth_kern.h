/* The per-frame work of the resynthesis in one precision, included by
 * stream_resynth.c once for each with:
 *   KVE_R            the type of the masks, inverses and overlap-add
 *   KVE_N(name)      this precision's copy of a function
 *   KVE_B(p)         the pass's buffers in it
 *   KVE_E            the floor against 0 / 0
 *   KVE_X(p, c, j)   frame j of channel c, packed, in KVE_R
 *   KVE_INVERSE(p, part, y, io, log2n)   the packed inverse FFT in place */

/* 1 / (w.h + K e) for every row of frame j of the block */
KVE_CLONES static void KVE_N(kve_modelInverse)(const kve_pass *p, size_t j)
{
    const kve_streamShape *s = p->f.s;
    const size_t rows = (size_t)s->rows, t = (size_t)p->f.t0 + j;
    const KVE_R *Wt = KVE_B(p)->Wt;
    KVE_R *inv = KVE_B(p)->inv + j * rows;
    const KVE_R h0 = (KVE_R)p->H[t];
    for (size_t r = 0; r < rows; r++) inv[r] = Wt[r] * h0;
    for (int k = 1; k < p->K; k++) {
        const KVE_R hk = (KVE_R)p->H[(size_t)k * (size_t)s->frames + t];
        const KVE_R *w = Wt + (size_t)k * rows;
        for (size_t r = 0; r < rows; r++) inv[r] += w[r] * hk;
    }
    const KVE_R ke = (KVE_R)p->K * KVE_E;
    for (size_t r = 0; r < rows; r++) inv[r] = (KVE_R)1 / (inv[r] + ke);
}

/* an output through the spatial filter in frame j into yl and yr, packed:
 * R A^-1 applied to both channels' spectra, R the output's sum_k C_k h_k
 * widened on the diagonal by the load times its trace and the floor. R is
 * one component's C_k (cf, float, LL, LR, RR of bins values each) times
 * hk when `one`, else the sum from kve_spatialAdd (cd, double). */
static inline __attribute__((always_inline)) void
KVE_N(kve_spatialBins)(const kve_pass *p, size_t j, bool one, const float *restrict cf,
                       const double *restrict cd, double hk, double floor, KVE_R *restrict yl,
                       KVE_R *restrict yr)
{
    const size_t bins = (size_t)p->f.s->bins;
    const size_t h = (size_t)p->f.sgram[0].N / 2, io = p->f.sgram[0].io;
    const double *restrict il = p->spInv + j * 3 * bins, *restrict im = il + bins,
                           *restrict ir = im + bins;
    const KVE_R *restrict xl = KVE_X(p, 0, j), *restrict xr = KVE_X(p, 1, j);
    const double load = KVE_SPATIAL_LOAD / 2;
#define KVE_RC(q, b) (one ? (double)cf[(q)*bins + (b)] * hk : cd[(q)*bins + (b)])
    for (size_t b = 0; b < h; b++) {
        const double ll = KVE_RC(0, b), lr = KVE_RC(1, b), rr = KVE_RC(2, b);
        const double del = load * (ll + rr) + floor, a = ll + del, d = rr + del;
        const KVE_R g00 = (KVE_R)(a * il[b] + lr * im[b]), g01 = (KVE_R)(a * im[b] + lr * ir[b]);
        const KVE_R g10 = (KVE_R)(lr * il[b] + d * im[b]), g11 = (KVE_R)(lr * im[b] + d * ir[b]);
        yl[b] = g00 * xl[b] + g01 * xr[b];
        yl[io + b] = g00 * xl[io + b] + g01 * xr[io + b];
        yr[b] = g10 * xl[b] + g11 * xr[b];
        yr[io + b] = g10 * xl[io + b] + g11 * xr[io + b];
    }
    /* bin 0's imaginary half holds the last bin's real part (set above from
     * bin 0's filter, now from its own) */
    const double ll = KVE_RC(0, h), lr = KVE_RC(1, h), rr = KVE_RC(2, h);
#undef KVE_RC
    const double del = load * (ll + rr) + floor, a = ll + del, d = rr + del;
    yl[io] = (KVE_R)(a * il[h] + lr * im[h]) * xl[io] + (KVE_R)(a * im[h] + lr * ir[h]) * xr[io];
    yr[io] = (KVE_R)(lr * il[h] + d * im[h]) * xl[io] + (KVE_R)(lr * im[h] + d * ir[h]) * xr[io];
}

KVE_CLONES static void KVE_N(kve_spatialOne)(const kve_pass *p, size_t j, const float *restrict c,
                                             double hk, KVE_R *restrict yl, KVE_R *restrict yr)
{
    KVE_N(kve_spatialBins)(p, j, true, c, NULL, hk, DBL_MIN, yl, yr);
}

KVE_CLONES static void KVE_N(kve_spatialGroup)(const kve_pass *p, size_t j,
                                               const double *restrict m, double floor,
                                               KVE_R *restrict yl, KVE_R *restrict yr)
{
    KVE_N(kve_spatialBins)(p, j, false, NULL, m, 1.0, floor, yl, yr);
}

/* the numerator of a group's mask over channel c's rows in frame j:
 * sum over its set of (w_k h_k + e) */
KVE_CLONES static void KVE_N(kve_numerator)(const kve_pass *p, const kve_output *out, int c,
                                            size_t j, KVE_R *restrict m)
{
    const kve_streamShape *s = p->f.s;
    const size_t rows = (size_t)s->rows, bins = (size_t)s->bins, t = (size_t)p->f.t0 + j;
    const KVE_R e = (KVE_R)out->count * KVE_E;
    for (int i = 0; i < out->count; i++) {
        const size_t k = (size_t)out->comps[i];
        const KVE_R hk = (KVE_R)p->H[k * (size_t)s->frames + t];
        const KVE_R *restrict w = KVE_B(p)->Wt + k * rows + kve_row0(s, c);
        if (i == 0)
            for (size_t b = 0; b < bins; b++) m[b] = w[b] * hk + e;
        else
            for (size_t b = 0; b < bins; b++) m[b] += w[b] * hk;
    }
}

/* frame j of channel c through the mask (w hk + e) x inv into y, packed;
 * w is a component's column, or the group's numerator with hk = 1, e = 0 */
KVE_CLONES static void KVE_N(kve_apply)(const kve_pass *p, int c, size_t j, const KVE_R *restrict w,
                                        KVE_R hk, KVE_R e, KVE_R *restrict y)
{
    const qm_stft_work *sw = &p->f.sgram[c];
    const size_t h = (size_t)sw->N / 2, io = sw->io;
    const KVE_R *restrict x = KVE_X(p, c, j);
    const KVE_R *restrict inv = KVE_B(p)->inv + j * (size_t)p->f.s->rows + kve_row0(p->f.s, c);
    y[0] = (w[0] * hk + e) * inv[0] * x[0];
    y[io] = (w[h] * hk + e) * inv[h] * x[io];
    for (size_t b = 1; b < h; b++) {
        const KVE_R g = (w[b] * hk + e) * inv[b];
        y[b] = g * x[b];
        y[io + b] = g * x[io + b];
    }
}

/* a += gs x the packed frame y (even samples, then odd at io) over 2 h
 * samples. Those from `fresh` on are the frame's alone so far in the block
 * (no earlier frame reaches them, the samples carried over end before), so
 * they are set, as 0 + v for the bits an addition to zero gives: the
 * overlap-add needs no clearing between blocks. */
KVE_CLONES static void KVE_N(kve_overlapAdd)(const KVE_R *restrict y, size_t io,
                                             const KVE_R *restrict gs, size_t h, size_t fresh,
                                             KVE_R *restrict a)
{
    const size_t f2 = fresh / 2;
    for (size_t k = 0; k < f2; k++) {
        a[2 * k] += gs[2 * k] * y[k];
        a[2 * k + 1] += gs[2 * k + 1] * y[io + k];
    }
    size_t k = f2;
    if (fresh % 2) {
        a[2 * k] += gs[2 * k] * y[k];
        a[2 * k + 1] = (KVE_R)0 + gs[2 * k + 1] * y[io + k];
        k++;
    }
    for (; k < h; k++) {
        a[2 * k] = (KVE_R)0 + gs[2 * k] * y[k];
        a[2 * k + 1] = (KVE_R)0 + gs[2 * k + 1] * y[io + k];
    }
}

/* output o on channel c, frame j: masked, inverted, windowed and added at
 * its place in acc */
static void KVE_N(kve_addFrame)(const kve_pass *p, int o, int c, size_t j, KVE_R *restrict acc,
                                int part)
{
    const kve_streamShape *s = p->f.s;
    const qm_stft_work *sw = &p->f.sgram[c];
    const size_t h = (size_t)sw->N / 2, io = sw->io;
    const kve_output *out = &p->outs[o];
    KVE_R *restrict y = KVE_B(p)->work[part];
    if (out->count == 1) {
        const size_t k = (size_t)out->comps[0];
        const KVE_R hk = (KVE_R)p->H[k * (size_t)s->frames + (size_t)p->f.t0 + j];
        KVE_N(kve_apply)
        (p, c, j, KVE_B(p)->Wt + k * (size_t)s->rows + kve_row0(s, c), hk, KVE_E, y);
    } else {
        KVE_R *m = y + sw->ld;
        KVE_N(kve_numerator)(p, out, c, j, m);
        KVE_N(kve_apply)(p, c, j, m, (KVE_R)1, (KVE_R)0, y);
    }
    KVE_INVERSE(p, part, y, io, sw->log2n);
    KVE_N(kve_overlapAdd)
    (y, io, KVE_B(p)->gs, h, (size_t)(sw->N - s->hop), acc + j * (size_t)s->hop);
}

/* output o through the spatial filter, frame j: both channels inverted,
 * windowed and added at their places in accL and accR */
static void KVE_N(kve_addSpatialFrame)(const kve_pass *p, int o, size_t j, KVE_R *restrict accL,
                                       KVE_R *restrict accR, int part)
{
    const kve_streamShape *s = p->f.s;
    const qm_stft_work *sw = &p->f.sgram[0];
    const size_t h = (size_t)sw->N / 2, io = sw->io, at = j * (size_t)s->hop;
    KVE_R *restrict yl = KVE_B(p)->work[part], *restrict yr = yl + sw->ld;
    const kve_output *out = &p->outs[o];
    if (out->count == 1) {
        const size_t k = (size_t)out->comps[0];
        KVE_N(kve_spatialOne)
        (p, j, p->spC + k * 3 * (size_t)s->bins, p->H[k * (size_t)s->frames + (size_t)p->f.t0 + j],
         yl, yr);
    } else {
        kve_spatialAdd(p, out->comps, out->count, j, 0, (size_t)s->bins, p->spM[part]);
        KVE_N(kve_spatialGroup)(p, j, p->spM[part], (double)out->count * DBL_MIN, yl, yr);
    }
    KVE_INVERSE(p, part, yl, io, sw->log2n);
    KVE_INVERSE(p, part, yr, io, sw->log2n);
    const size_t fresh = (size_t)(sw->N - s->hop);
    KVE_N(kve_overlapAdd)(yl, io, KVE_B(p)->gs, h, fresh, accL + at);
    KVE_N(kve_overlapAdd)(yr, io, KVE_B(p)->gs, h, fresh, accR + at);
}

/* outputs o0 .. o1 - 1 on channels c0 .. c1 - 1 over the block's frames,
 * unit by unit: their spectra stay in cache across the units, each unit's
 * overlap-add across the frames */
static void KVE_N(kve_inverses)(const kve_part *q)
{
    const kve_pass *p = q->p;
    const int ch = p->f.ch;
    for (size_t j0 = 0; j0 < p->f.nb; j0 += KVE_SUB) {
        const size_t j1 = j0 + KVE_SUB < p->f.nb ? j0 + KVE_SUB : p->f.nb;
        if (p->spatial) {
            for (int o = q->o0; o < q->o1; o++) {
                KVE_R *accL = KVE_B(p)->acc + (size_t)(o * ch) * (size_t)p->accLen;
                for (size_t j = j0; j < j1; j++)
                    KVE_N(kve_addSpatialFrame)(p, o, j, accL, accL + p->accLen, q->part);
            }
            continue;
        }
        for (int c = q->c0; c < q->c1; c++)
            for (int o = q->o0; o < q->o1; o++) {
                KVE_R *acc = KVE_B(p)->acc + (size_t)(o * ch + c) * (size_t)p->accLen;
                for (size_t j = j0; j < j1; j++) KVE_N(kve_addFrame)(p, o, c, j, acc, q->part);
            }
    }
}
