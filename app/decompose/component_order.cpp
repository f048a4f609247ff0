#include "decompose/component_order.hpp"

#include "decompose/decompose_steps.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvane {

namespace {

constexpr double kSilent = -std::numeric_limits<double>::infinity();

double centroidKey(const std::vector<double> &w) {
    double c = qm_spectralCentroid(w.data(), static_cast<int>(w.size()));
    return std::isfinite(c) ? c : -1;
}

double peakKey(const std::vector<double> &w) {
    auto top = std::max_element(w.begin(), w.end());
    return top != w.end() && *top > 0 ? static_cast<double>(top - w.begin()) : kSilent;
}

double onsetKey(const Run &run, int k) {
    const size_t T = static_cast<size_t>(run.shape.frames);
    const double *h = run.H.data() + k * T;
    const double top = T ? *std::max_element(h, h + T) : 0;
    if (!(top > 0) || !std::isfinite(top)) return kSilent;
    size_t t = 0;
    while (h[t] < top / 2) ++t;
    return -static_cast<double>(t);
}

}  // namespace

double componentEnergy(const Run &run, int k) {
    const size_t K = static_cast<size_t>(run.opt.components), T = static_cast<size_t>(run.shape.frames);
    double ww = 0, hh = 0;
    for (size_t r = 0; r < static_cast<size_t>(run.shape.rows); ++r) ww += run.W[r * K + k] * run.W[r * K + k];
    for (size_t t = 0; t < T; ++t) hh += run.H[k * T + t] * run.H[k * T + t];
    return ww * hh;
}

std::vector<double> shownBasis(const Run &run, int k) {
    const kvs_shape &s = run.shape;
    const int K = run.opt.components;
    std::vector<double> w(static_cast<size_t>(s.bins), 0.0);
    for (int r = 0; r < s.rows; ++r) w[static_cast<size_t>(r % s.bins)] += run.W[static_cast<size_t>(r) * K + k];
    return w;
}

std::vector<double> orderKeys(const Run &run, const std::string &how) {
    const int K = run.opt.components;
    std::vector<double> key(static_cast<size_t>(K));
    for (int k = 0; k < K; ++k) {
        double &v = key[static_cast<size_t>(k)];
        if (how == "energy")
            v = componentEnergy(run, k);
        else if (how == "onset")
            v = onsetKey(run, k);
        else if (how == "peak")
            v = peakKey(shownBasis(run, k));
        else
            v = centroidKey(shownBasis(run, k));
        if (std::isnan(v)) v = kSilent;
    }
    return key;
}

}  // namespace korvane
