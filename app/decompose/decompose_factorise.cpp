// The factorisation of V from the chosen start, in rounds of ten between
// which the divergence is checked, with a progress bar; then the components
// as the outputs show them.
#include "decompose/bases.hpp"
#include "decompose/component_order.hpp"
#include "decompose/decompose_steps.hpp"
#include "kv_start.h"
#include "decompose/model_cost.hpp"
#include "cli/progress.hpp"

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

// W's columns and H's rows from the first not given one on, by --order
// (stable: equal keys keep their order).
void orderComponents(Run &run) {
    const int K = run.opt.components, from = givenCount(run.opt);
    const long T = run.shape.frames;
    std::vector<double> key = orderKeys(run, run.opt.order);
    std::vector<int> order(static_cast<size_t>(K));
    for (int k = 0; k < K; ++k) order[static_cast<size_t>(k)] = k;
    std::stable_sort(order.begin() + from, order.end(),
                     [&](int a, int b) { return key[static_cast<size_t>(a)] > key[static_cast<size_t>(b)]; });
    std::vector<double> W = run.W, H = run.H;
    for (int j = from; j < K; ++j) {
        const int k = order[static_cast<size_t>(j)];
        for (int r = 0; r < run.shape.rows; ++r)
            run.W[static_cast<size_t>(r) * K + j] = W[static_cast<size_t>(r) * K + k];
        std::copy(H.begin() + k * T, H.begin() + (k + 1) * T, run.H.begin() + j * T);
    }
}

void takeComponents(Run &run) {
    const int K = run.opt.components;
    orderComponents(run);
    double hMax = *std::max_element(run.H.begin(), run.H.end());
    if (!(hMax > 0) || !std::isfinite(hMax)) hMax = 1;  // a silent sound keeps its zeros
    double total = 0;
    std::vector<double> energy(static_cast<size_t>(K));
    for (int k = 0; k < K; ++k) total += energy[static_cast<size_t>(k)] = componentEnergy(run, k);
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
    if (run.start == "random")
        kve_randomStart(run.seedUsed, s.rows, s.frames, K, run.W.data(), run.H.data());
    else if (kve_nndsvdaStart(run.V.data(), s.rows, s.frames, K, run.seedUsed, run.W.data(), run.H.data()) != 0)
        return false;
    putGivenBases(run);
    return true;
}

// Rounds of the chosen cost's updates; given bases keep their place, and
// with --fix-bases their values.
int rounds(Run &run, int n, Rounds &r) {
    const int K = run.opt.components, rows = run.shape.rows, frames = static_cast<int>(run.shape.frames);
    const int eucl = run.opt.cost == "euclidean";
    double *W = run.W.data(), *H = run.H.data();
    if (!run.opt.given) return qm_NMFFromFloat(eucl, run.V.data(), rows, frames, K, n, W, H, onRound, &r);
    const int fixedK = run.opt.fixBases ? givenCount(run.opt) : 0;
    return qm_NMFFromFixed(eucl, run.V.data(), rows, frames, K, fixedK, n, W, H, onRound, &r);
}

double costOf(const Run &run, bool estimate) {
    return (estimate ? modelCostEstimate : modelCost)(run.opt.cost == "euclidean", run.V.data(), run.W.data(),
                                                      run.H.data(), run.shape.rows, static_cast<int>(run.shape.frames),
                                                      run.opt.components);
}

// Rounds of the updates until the count or the tolerance stops them. The
// stop compares an estimate of the cost; without a tolerance the rounds run
// in one go. The cost recorded is exact.
int iterate(Run &run, ProgressBar &bar) {
    const int total = run.opt.iterations;
    const bool check = run.opt.tol > 0;
    const int every = check ? kCheckEvery : total;
    double last = check ? costOf(run, true) : 0;
    run.iterationsRun = 0;
    while (run.iterationsRun < total) {
        int n = std::min(every, total - run.iterationsRun);
        Rounds r{&bar, run.iterationsRun, total};
        if (rounds(run, n, r) != 0) return 1;
        run.iterationsRun += n;
        if (!check) continue;
        double now = costOf(run, true);
        bool settled = last - now < run.opt.tol * std::fabs(last);
        last = now;
        if (settled) break;
    }
    run.divergence = costOf(run, false);
    return 0;
}

}  // namespace

int factorise(Run &run) {
    const int K = run.opt.components;
    if (int status = checkGivenBases(run)) return status;
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
