// Plain reference implementations for the benchmarks: the same arithmetic
// as the library, as straightforward loops over whole matrices, without the
// vector layer.
#pragma once

#include <vector>

namespace plain {

// 100-round style loops; W (F x K) and H (K x T) updated in place
void klIterate(const double *V, int F, int T, int K, int iter, double *W, double *H);
void euclIterate(const double *V, int F, int T, int K, int iter, double *W, double *H);

// re, im ((N/2+1) x frames) of the sqrt-Blackman-windowed frames, FFTW directly
void stft(const double *x, int N, int frames, int hop, double *re, double *im);
// out += overlap-add of the inverse DFT of X * mask / (model + 0.1)
void wienerResynth(const double *mask, const double *model, const double *re, const double *im, int frames, int N,
                   int hop, double *out);

}  // namespace plain
