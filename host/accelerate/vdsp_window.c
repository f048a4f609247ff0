/* Periodic Blackman window. */
#include <Accelerate/Accelerate.h>

#include <math.h>

static const double kv_pi = 3.14159265358979323846;

void vDSP_blkman_windowD(double *c, vDSP_Length n, int flag) {
    if (n == 0) return;
    vDSP_Length len = (flag & vDSP_HALF_WINDOW) ? (n + 1) / 2 : n;
    double dn = (double)n;
    for (vDSP_Length k = 0; k < len; k++) {
        double x = (double)k;
        double w = 0.42 - 0.5 * cos(2.0 * kv_pi * x / dn) + 0.08 * cos(4.0 * kv_pi * x / dn);
        /* rounding leaves about -1.4e-17 at k = 0; callers take square roots */
        c[k] = w > 0.0 ? w : 0.0;
    }
}
