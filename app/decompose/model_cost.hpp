// The cost the command line's factorisation lowers and stops on (--cost).
#pragma once

namespace korvane {

// The generalised Kullback-Leibler divergence of V from W H, or with
// euclidean the squared Euclidean distance sum (V - W H)^2. V is rows x
// frames, W rows x K, H K x frames, row-major. NaN when scratch ran out.
double modelCost(bool euclidean, const float *V, const double *W, const double *H, int rows, int frames, int K);
// What the tolerance compares between checks: for Kullback-Leibler the
// divergence over a sample of the frames (kve_klEstimate), else modelCost.
double modelCostEstimate(bool euclidean, const float *V, const double *W, const double *H, int rows, int frames, int K);

}  // namespace korvane
