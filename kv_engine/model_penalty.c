/* Penalties and temporal continuity in the multiplicative updates. */
#include <math.h>

#include "model_internal.h"

/* sum_t h_t^2 and sum_t (h_t - h_t-1)^2 of one row of H */
static void kve_rowSums(const double *h, int frames, double *sq, double *dif)
{
    double s = 0.0, d = 0.0;
    for (int t = 0; t < frames; t++) {
        s += h[t] * h[t];
        if (t > 0) d += (h[t] - h[t - 1]) * (h[t] - h[t - 1]);
    }
    *sq = s;
    *dif = d;
}

int kve_penaltyAlone(const kve_model *m)
{
    const int onW = m->l1W != 0.0 || m->l2W != 0.0, onH = m->l1H != 0.0 || m->l2H != 0.0;
    return onW == onH ? KVE_PENALTY_BOTH : onH ? KVE_PENALTY_H : KVE_PENALTY_W;
}

int kve_penaltyBalance(double sw, double gh)
{
    if (!(sw > 0.0) || !(gh > 0.0) || !isfinite(sw) || !isfinite(gh)) return 0;
    const double half = 0.5 * (log2(gh) - log2(sw));
    return fabs(half) < 16.0 ? 0 : (int)lround(half);
}

/* the weights of a penalty alone */
static void kve_aloneWeights(const kve_model *m, double *l1, double *l2)
{
    const int h = kve_penaltyAlone(m) == KVE_PENALTY_H;
    *l1 = h ? m->l1H : m->l1W;
    *l2 = h ? m->l2H : m->l2W;
}

/* {sum, sum of squares} of component k's bases (nw rows of W, every lag),
 * then of its activation */
static void kve_componentSums(const double *W, const double *H, size_t nw, int frames, int K, int k,
                              double s[4])
{
    s[0] = s[1] = s[2] = s[3] = 0.0;
    for (size_t r = 0; r < nw; r++) {
        const double w = W[r * (size_t)K + k];
        s[0] += w;
        s[1] += w * w;
    }
    for (int t = 0; t < frames; t++) {
        const double h = H[(size_t)k * frames + t];
        s[2] += h;
        s[3] += h * h;
    }
}

void kve_penaltySlope(const kve_model *m, const double sums[4], int K, int k, double *slopes)
{
    double l1, l2;
    kve_aloneWeights(m, &l1, &l2);
    slopes[k] = l1 * sums[0];
    slopes[K + k] = l2 * sums[1];
    slopes[2 * K + k] = l1 * sums[2];
    slopes[3 * K + k] = l2 * sums[3];
}

void kve_penaltySlopes(const kve_model *m, const double *W, const double *H, int rows, int frames,
                       int K, double *slopes)
{
    const size_t nw = (size_t)(m->span > 1 ? m->span : 1) * (size_t)rows;
    for (int k = 0; k < K; k++) {
        double sums[4];
        kve_componentSums(W, H, nw, frames, K, k, sums);
        kve_penaltySlope(m, sums, K, k, slopes);
    }
}

void kve_penaltyH(const kve_model *m, const double *H, int K, int frames, const double *slopes,
                  double *num, double *den, int ld)
{
    const double l1 = m->l1H, l2 = m->l2H, c = m->continuity, T = frames;
    if (slopes)
        for (int k = 0; k < K; k++) {
            const double *h = H + (size_t)k * frames;
            double *d = den + (size_t)k * ld;
            for (int t = 0; t < frames; t++) d[t] += slopes[k] + slopes[K + k] * h[t];
        }
    else if (l1 != 0.0 || l2 != 0.0)
        for (int k = 0; k < K; k++) {
            const double *h = H + (size_t)k * frames;
            double *d = den + (size_t)k * ld;
            for (int t = 0; t < frames; t++) d[t] += l1 + l2 * h[t];
        }
    if (c == 0.0) return;
    for (int k = 0; k < K; k++) {
        const double *h = H + (size_t)k * frames;
        double sq, dif;
        kve_rowSums(h, frames, &sq, &dif);
        if (!(sq > 0.0)) continue; /* a silent row: no gradient */
        /* d/dh_t of T dif / sq: each neighbour s of t gives 2 T (h_t - h_s) / sq,
         * and - 2 T h_t dif / sq^2 */
        const double a = 2.0 * c * T / sq, b = a * dif / sq;
        double *n = num + (size_t)k * ld, *d = den + (size_t)k * ld;
        for (int t = 0; t < frames; t++) {
            const double left = t > 0 ? h[t - 1] : 0.0, right = t + 1 < frames ? h[t + 1] : 0.0;
            const int sides = (t > 0) + (t + 1 < frames);
            d[t] += a * sides * h[t];
            n[t] += a * (left + right) + b * h[t];
        }
    }
}

void kve_penaltyW(const kve_model *m, const double *W, int rows, int K, const double *slopes,
                  double *num, double *den)
{
    (void)num;
    const double l1 = m->l1W, l2 = m->l2W;
    if (slopes) {
        for (size_t r = 0; r < (size_t)rows; r++)
            for (int k = 0; k < K; k++) {
                const size_t i = r * (size_t)K + (size_t)k;
                den[i] += slopes[2 * K + k] + slopes[3 * K + k] * W[i];
            }
        return;
    }
    if (l1 == 0.0 && l2 == 0.0) return;
    for (size_t i = 0; i < (size_t)rows * (size_t)K; i++) den[i] += l1 + l2 * W[i];
}

/* l1 sum x + l2 / 2 sum x^2 over n values */
static double kve_normsCost(double l1, double l2, const double *x, size_t n)
{
    if (l1 == 0.0 && l2 == 0.0) return 0.0;
    double s = 0.0, q = 0.0;
    for (size_t i = 0; i < n; i++) {
        s += x[i];
        q += x[i] * x[i];
    }
    return l1 * s + 0.5 * l2 * q;
}

double kve_penaltyCost(const kve_model *m, const double *W, const double *H, int rows, int frames,
                       int K)
{
    const int span = m->span > 1 ? m->span : 1;
    double cost = 0.0;
    if (kve_penaltyAlone(m) == KVE_PENALTY_BOTH) {
        cost = kve_normsCost(m->l1W, m->l2W, W, (size_t)span * rows * K) +
               kve_normsCost(m->l1H, m->l2H, H, (size_t)K * frames);
    } else {
        double l1, l2;
        kve_aloneWeights(m, &l1, &l2);
        for (int k = 0; k < K; k++) {
            double sums[4];
            kve_componentSums(W, H, (size_t)span * rows, frames, K, k, sums);
            cost += l1 * sums[0] * sums[2] + 0.5 * l2 * sums[1] * sums[3];
        }
    }
    if (m->continuity == 0.0) return cost;
    double c = 0.0;
    for (int k = 0; k < K; k++) {
        double sq, dif;
        kve_rowSums(H + (size_t)k * frames, frames, &sq, &dif);
        if (sq > 0.0) c += (double)frames * dif / sq;
    }
    return cost + m->continuity * c;
}
