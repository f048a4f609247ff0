// The factorisation, with a progress bar, and the components as the outputs
// show them.
#include "decompose_steps.hpp"
#include "progress.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace korvane {

namespace {

int onRound(int done, int total, void *bar) {
    static_cast<ProgressBar *>(bar)->update(done, total);
    return 0;
}

// Component k of the engine's order. The basis is shown as read back from
// its list form, as korvane~'s lists give it.
Component takeComponent(const kve_engine &e, int k, double sampleRate) {
    const size_t bins = static_cast<size_t>(e.numBins);
    Component c;
    c.activation.resize(static_cast<size_t>(e.numFrames));
    kve_activation(&e, k, c.activation.data());
    std::vector<double> w(bins);
    kve_basis(&e, k, w.data());
    c.listForm.resize(bins);
    kve_encodeBasis(w.data(), static_cast<long>(bins), c.listForm.data());
    c.shown.resize(bins);
    for (size_t b = 0; b < bins; ++b) c.shown[b] = std::max(0.0, std::expm1(-c.listForm[b]));
    // centroid in bins counted from 1
    double centroid = qm_spectralCentroid(c.shown.data(), static_cast<int>(bins));
    c.centroidHz = (centroid - 1) * sampleRate / e.fftSize;
    return c;
}

}  // namespace

int factorise(Run &run) {
    kve_engine &e = run.engine.e;
    const int K = run.opt.components;
    say(run, "Factorizing sound with k=%d...", K);
    // without --seed, the sequence of an unseeded rand()
    kve_start start{KVE_START_SEEDED, run.opt.seed.value_or(1u), nullptr, nullptr};
    auto t0 = std::chrono::steady_clock::now();
    kve_status st;
    {
        ProgressBar bar("factorising", e.settings.iterations, run.progress);
        st = kve_factorize(&e, K, &start, run.progress ? onRound : nullptr, &bar);
        if (st == KVE_OK) bar.finish();
    }
    run.factorSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (st == KVE_TOO_MANY_COMPONENTS) {
        fail("too many components for this analysis");
        return 1;
    }
    if (st != KVE_OK) {
        fail("not enough memory for the factorisation");
        return 1;
    }
    say(run, "done.");
    for (int i = 0; i < K; ++i)
        run.components.push_back(takeComponent(e, static_cast<int>(e.order[i]), run.sound.sampleRate));
    return 0;
}

}  // namespace korvane
