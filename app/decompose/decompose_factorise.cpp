// The factorisation of V from the chosen start, with a progress bar, by the
// engine's rounds; then the components as the outputs show them.
#include "decompose/bases.hpp"
#include "decompose/decompose_steps.hpp"
#include "cli/progress.hpp"

#include <chrono>

namespace korvane {

namespace {

int onRound(int done, int total, void *user) {
    static_cast<ProgressBar *>(user)->update(done, total);
    return 0;
}

kve_order orderOf(const std::string &how) {
    if (how == "peak") return KVE_BY_PEAK;
    if (how == "energy") return KVE_BY_ENERGY;
    if (how == "onset") return KVE_BY_ONSET;
    return KVE_BY_CENTROID;
}

// The components by --order (after any given ones), activations scaled so
// that the largest of all is 1, the bases taking the scale back.
bool takeComponents(Run &run) {
    const kve_streamShape &s = run.shape;
    const int K = run.opt.components;
    if (kve_orderComponents(&s, run.W.data(), run.H.data(), K, givenCount(run.opt), orderOf(run.opt.order)) != KVE_OK)
        return false;
    const double scale = kve_activationScale(run.H.data(), K, s.frames);
    std::vector<double> share(static_cast<size_t>(K));
    kve_energyShares(&s, run.W.data(), run.H.data(), K, share.data());
    for (int k = 0; k < K; ++k) {
        Component c;
        c.activation.resize(static_cast<size_t>(s.frames));
        c.listForm.resize(static_cast<size_t>(s.bins));
        c.shown.resize(static_cast<size_t>(s.bins));
        kve_componentInfo info;
        kve_componentForm(&s, run.sound.sampleRate, run.W.data(), run.H.data(), K, k, scale, c.activation.data(),
                          c.listForm.data(), c.shown.data(), &info);
        c.centroidHz = info.centroidHz;
        c.peakHz = info.peakHz;
        c.energyShare = share[static_cast<size_t>(k)];
        run.components.push_back(std::move(c));
    }
    return true;
}

// W and H from the chosen start; false when memory ran out.
bool startFactors(Run &run) {
    const kve_streamShape &s = run.shape;
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

// The engine's rounds until the count or the tolerance stops them; given
// bases keep their place, and with --fix-bases their values.
int iterate(Run &run, ProgressBar &bar) {
    kve_rounds how{};
    how.cost = run.opt.cost == "euclidean" ? KVE_EUCLIDEAN : KVE_KULLBACK_LEIBLER;
    how.iterations = run.opt.iterations;
    how.tol = run.opt.tol;
    how.fixedK = !run.opt.given ? -1 : run.opt.fixBases ? givenCount(run.opt) : 0;
    kve_roundsDone done{};
    if (kve_streamFactorise(run.V.data(), run.shape.rows, static_cast<int>(run.shape.frames), run.opt.components,
                            run.W.data(), run.H.data(), &how, onRound, &bar, &done) != KVE_OK)
        return 1;
    run.iterationsRun = done.iterations;
    run.divergence = done.cost;
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
    try {
        if (takeComponents(run)) return 0;
    } catch (const std::bad_alloc &) {
    }
    fail("not enough memory for the factorisation");
    return 1;
}

}  // namespace korvane
