/* Convolutive bases. (to be written) */
#include "model_internal.h"

int kve_convolutiveRounds(const kve_model *m, const float *V, int rows, int frames, int K,
                          double *W, double *H, int n, int (*onRound)(int, int, void *), void *user)
{
    (void)m, (void)V, (void)rows, (void)frames, (void)K, (void)W, (void)H, (void)n, (void)onRound,
        (void)user;
    return -1;
}

void kve_convolutiveStart(const double *W0, const double *H0, int rows, int frames, int K, int span,
                          double *W, double *H)
{
    (void)W0, (void)H0, (void)rows, (void)frames, (void)K, (void)span, (void)W, (void)H;
}

void kve_expandConvolutive(const double *W, const double *H, int rows, int frames, int K, int span,
                           double *We, double *He)
{
    (void)W, (void)H, (void)rows, (void)frames, (void)K, (void)span, (void)We, (void)He;
}
