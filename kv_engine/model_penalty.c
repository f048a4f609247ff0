/* Penalties and temporal continuity in the multiplicative updates. */
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

void kve_penaltyH(const kve_model *m, const double *H, int K, int frames, double *num, double *den,
                  int ld)
{
    const double l1 = m->l1H, l2 = m->l2H, c = m->continuity, T = frames;
    if (l1 != 0.0 || l2 != 0.0)
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

void kve_penaltyW(const kve_model *m, const double *W, int rows, int K, double *num, double *den)
{
    (void)num;
    const double l1 = m->l1W, l2 = m->l2W;
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
    double cost = kve_normsCost(m->l1W, m->l2W, W, (size_t)span * rows * K) +
                  kve_normsCost(m->l1H, m->l2H, H, (size_t)K * frames);
    if (m->continuity == 0.0) return cost;
    double c = 0.0;
    for (int k = 0; k < K; k++) {
        double sq, dif;
        kve_rowSums(H + (size_t)k * frames, frames, &sq, &dif);
        if (sq > 0.0) c += (double)frames * dif / sq;
    }
    return cost + m->continuity * c;
}
