/* Grouped sources as one basis and activation each, for show and order. */
#include <string.h>

#include "model_internal.h"

void kve_groupSummary(const double *W, const double *H, int rows, int frames, int inner,
                      const int *groupOf, int sources, double *Ws, double *Hs)
{
    const size_t R = (size_t)rows, T = (size_t)frames, S = (size_t)sources, Ni = (size_t)inner;
    memset(Ws, 0, R * S * sizeof *Ws);
    memset(Hs, 0, S * T * sizeof *Hs);
    for (size_t i = 0; i < Ni; i++) {
        const size_t g = (size_t)groupOf[i];
        double wsum = 0.0, hsum = 0.0;
        for (size_t r = 0; r < R; r++) wsum += W[r * Ni + i];
        const double *h = H + i * T;
        for (size_t t = 0; t < T; t++) {
            Hs[g * T + t] += wsum * h[t];
            hsum += h[t];
        }
        for (size_t r = 0; r < R; r++) Ws[r * S + g] += W[r * Ni + i] * hsum;
    }
    for (size_t g = 0; g < S; g++) {
        double total = 0.0;
        for (size_t t = 0; t < T; t++) total += Hs[g * T + t];
        const double scale = total > 0.0 ? 1.0 / total : 0.0;
        for (size_t r = 0; r < R; r++) Ws[r * S + g] *= scale;
    }
}
