/* Factors whose ratio masks are those of the components' models raised to a
 * power. */
#include <math.h>
#include <stddef.h>

#include "kv_stream.h"

static void scaledPower(const double *x, size_t n, double p, double *out)
{
    double top = 0.0;
    for (size_t i = 0; i < n; i++) top = fmax(top, x[i]);
    const double scale = top > 0.0 ? 1.0 / top : 1.0;
    for (size_t i = 0; i < n; i++) out[i] = p == 1.0 ? x[i] * scale : pow(x[i] * scale, p);
}

void kve_maskFactors(const double *W, const double *H, int rows, int frames, int K, double p,
                     double *Wp, double *Hp)
{
    scaledPower(W, (size_t)rows * (size_t)K, p, Wp);
    scaledPower(H, (size_t)K * (size_t)frames, p, Hp);
}
