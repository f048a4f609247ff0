// The factorisation of V from the chosen start, in rounds of ten between
// which the divergence is checked, with a progress bar; then the components
// as the outputs show them.
#include "decompose_steps.hpp"
#include "kv_start.h"
#include "progress.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace korvane {

namespace {

constexpr int kCheckEvery = 10;

struct Rounds {
    ProgressBar *bar;
    int before, total;
};

int onRound(int done, int, void *user) {
    auto *r = static_cast<Rounds *>(user);
    r->bar->update(r->before + done, r->total);
    return 0;
}

// The basis as the picture and page show it: for stacked rows, the two
// channels' halves summed.
std::vector<double> shownBasis(const Run &run, int k) {
    const kvs_shape &s = run.shape;
    const int K = run.opt.components;
    std::vector<double> w(static_cast<size_t>(s.bins), 0.0);
    for (int r = 0; r < s.rows; ++r) w[static_cast<size_t>(r % s.bins)] += run.W[static_cast<size_t>(r) * K + k];
    return w;
}

// Component k. Activations are scaled so that the largest of all is 1, the
// basis taking the scale back.
Component takeComponent(const Run &run, int k, double hMax) {
    const kvs_shape &s = run.shape;
    Component c;
    c.activation.assign(run.H.begin() + static_cast<long>(k) * s.frames,
                        run.H.begin() + static_cast<long>(k + 1) * s.frames);
    for (double &h : c.activation) h /= hMax;
    std::vector<double> w = shownBasis(run, k);
    for (double &v : w) v *= hMax;
    c.listForm.resize(w.size());
    kve_encodeBasis(w.data(), static_cast<long>(w.size()), c.listForm.data());
    c.shown.resize(w.size());
    for (size_t b = 0; b < w.size(); ++b) c.shown[b] = std::max(0.0, std::expm1(-c.listForm[b]));
    const double binHz = run.sound.sampleRate / static_cast<double>(s.N);
    // centroid in bins counted from 1
    double centroid = qm_spectralCentroid(c.shown.data(), s.bins);
    c.centroidHz = (centroid - 1) * binHz;
    c.peakHz = static_cast<double>(std::max_element(w.begin(), w.end()) - w.begin()) * binHz;
    return c;
}

// Energy of w_k h_k over all rows and frames, as |w_k|^2 |h_k|^2.
double energyOf(const Run &run, int k) {
    const int K = run.opt.components;
    double ww = 0, hh = 0;
    for (int r = 0; r < run.shape.rows; ++r) ww += run.W[static_cast<size_t>(r) * K + k] * run.W[static_cast<size_t>(r) * K + k];
    for (long t = 0; t < run.shape.frames; ++t) hh += run.H[static_cast<size_t>(k) * run.shape.frames + t] * run.H[static_cast<size_t>(k) * run.shape.frames + t];
    return ww * hh;
}

// W's columns and H's rows by descending centroid, brightest first (a
// silent basis has none and goes last).
void orderByCentroid(Run &run) {
    const int K = run.opt.components;
    const long T = run.shape.frames;
    std::vector<double> centroid(static_cast<size_t>(K));
    std::vector<int> order(static_cast<size_t>(K));
    for (int k = 0; k < K; ++k) {
        std::vector<double> w = shownBasis(run, k);
        double c = qm_spectralCentroid(w.data(), run.shape.bins);
        centroid[static_cast<size_t>(k)] = std::isfinite(c) ? c : -1;
        order[static_cast<size_t>(k)] = k;
    }
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return centroid[static_cast<size_t>(a)] > centroid[static_cast<size_t>(b)];
    });
    std::vector<double> W = run.W, H = run.H;
    for (int j = 0; j < K; ++j) {
        const int k = order[static_cast<size_t>(j)];
        for (int r = 0; r < run.shape.rows; ++r) run.W[static_cast<size_t>(r) * K + j] = W[static_cast<size_t>(r) * K + k];
        std::copy(H.begin() + k * T, H.begin() + (k + 1) * T, run.H.begin() + j * T);
    }
}

void takeComponents(Run &run) {
    const int K = run.opt.components;
    orderByCentroid(run);
    double hMax = *std::max_element(run.H.begin(), run.H.end());
    if (!(hMax > 0) || !std::isfinite(hMax)) hMax = 1;   // a silent sound keeps its zeros
    double total = 0;
    std::vector<double> energy(static_cast<size_t>(K));
    for (int k = 0; k < K; ++k) total += energy[static_cast<size_t>(k)] = energyOf(run, k);
    for (int k = 0; k < K; ++k) {
        run.components.push_back(takeComponent(run, k, hMax));
        run.components.back().energyShare = total > 0 ? energy[static_cast<size_t>(k)] / total : 0;
    }
}

// W and H from the chosen start; false when memory ran out.
bool startFactors(Run &run) {
    const kvs_shape &s = run.shape;
    const int K = run.opt.components;
    run.seedUsed = run.opt.seed ? *run.opt.seed
                                : static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count());
    run.W.assign(static_cast<size_t>(s.rows) * K, 0.0);
    run.H.assign(static_cast<size_t>(K) * s.frames, 0.0);
    if (run.start == "random") {
        kve_randomStart(run.seedUsed, s.rows, s.frames, K, run.W.data(), run.H.data());
        return true;
    }
    return kve_nndsvdaStart(run.V.data(), s.rows, s.frames, K, run.seedUsed, run.W.data(), run.H.data()) == 0;
}

// Rounds of the updates until the count or the tolerance stops them.
int iterate(Run &run, ProgressBar &bar) {
    const kvs_shape &s = run.shape;
    const int K = run.opt.components, total = run.opt.iterations;
    const int rows = s.rows, frames = static_cast<int>(s.frames);
    // the stop compares a sample of the frames' divergence; without a
    // tolerance the rounds run in one go
    const bool check = run.opt.tol > 0;
    const int every = check ? kCheckEvery : total;
    double last = check ? kve_klEstimate(run.V.data(), run.W.data(), run.H.data(), rows, frames, K) : 0;
    run.iterationsRun = 0;
    while (run.iterationsRun < total) {
        int n = std::min(every, total - run.iterationsRun);
        Rounds r{&bar, run.iterationsRun, total};
        if (qm_NMFFromFloat(0, run.V.data(), rows, frames, K, n, run.W.data(), run.H.data(), onRound, &r) != 0)
            return 1;
        run.iterationsRun += n;
        if (!check) continue;
        double now = kve_klEstimate(run.V.data(), run.W.data(), run.H.data(), rows, frames, K);
        bool settled = last - now < run.opt.tol * std::fabs(last);
        last = now;
        if (settled) break;
    }
    run.divergence = kve_klDivergence(run.V.data(), run.W.data(), run.H.data(), rows, frames, K);
    return 0;
}

}  // namespace

int factorise(Run &run) {
    const int K = run.opt.components;
    say(run, "Factorizing sound with k=%d...", K);
    auto t0 = std::chrono::steady_clock::now();
    int st = 1;
    try {
        if (startFactors(run)) {
            ProgressBar bar("factorising", run.opt.iterations, run.progress);
            st = iterate(run, bar);
            if (st == 0) bar.finish();
        }
    } catch (const std::bad_alloc &) {
        st = 1;
    }
    run.factorSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (st != 0) {
        fail("not enough memory for the factorisation");
        return 1;
    }
    say(run, "done: %d rounds, divergence %g", run.iterationsRun, run.divergence);
    takeComponents(run);
    return 0;
}

}  // namespace korvane
