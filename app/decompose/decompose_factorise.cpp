// The factorisation of V from the chosen start, with a progress bar, by the
// engine's rounds; then the components as the outputs show them.
#include "decompose/bases.hpp"
#include "decompose/decompose_steps.hpp"
#include "cli/progress.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numeric>

namespace korvane {

namespace {

int drawRound(int done, int total, void *user) {
    static_cast<ProgressBar *>(user)->update(done, total);
    return 0;
}

// Who sees each round, and may stop the rounds.
struct RoundWatch {
    kve_progressFn onRound;
    void *user;
};

// the rounds were stopped by the watch
constexpr int kStopped = -2;
// the factors left the numbers' range (a sound far above full scale)
constexpr int kOutOfRange = -3;

bool allFinite(const std::vector<double> &x) {
    return std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
}

kve_order orderOf(const std::string &how) {
    if (how == "peak") return KVE_BY_PEAK;
    if (how == "energy") return KVE_BY_ENERGY;
    if (how == "onset") return KVE_BY_ONSET;
    return KVE_BY_CENTROID;
}

// Component k as shown from the factors F (rows x n, n x frames).
Component showComponent(const Run &run, const double *W, const double *H, int n, int k, double scale, double share) {
    const kve_streamShape &s = run.shape;
    Component c;
    c.activation.resize(static_cast<size_t>(s.frames));
    c.listForm.resize(static_cast<size_t>(s.bins));
    c.shown.resize(static_cast<size_t>(s.bins));
    kve_componentInfo info;
    kve_componentForm(&s, run.sound.sampleRate, W, H, n, k, scale, c.activation.data(), c.listForm.data(),
                      c.shown.data(), &info);
    c.centroidHz = info.centroidHz;
    c.peakHz = info.peakHz;
    c.energyShare = share;
    return c;
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
    for (int k = 0; k < K; ++k)
        run.components.push_back(showComponent(run, run.W.data(), run.H.data(), K, k, scale, share[size_t(k)]));
    return true;
}

// With members: each component shown by its sources' summary (one basis, one
// activation), ordered by it; the members follow the order.
bool takeGroupedComponents(Run &run, const std::vector<int> &groupOf) {
    const kve_streamShape &s = run.shape;
    const int K = run.opt.components;
    const size_t T = static_cast<size_t>(s.frames), rows = static_cast<size_t>(s.rows);
    std::vector<double> Ws(rows * K), Hs(K * T), W2(rows * K), H2(K * T);
    kve_groupSummary(run.W.data(), run.H.data(), s.rows, s.frames, run.inner, groupOf.data(), K, Ws.data(), Hs.data());
    std::vector<int> order(static_cast<size_t>(K));
    if (kve_componentOrder(&s, Ws.data(), Hs.data(), K, 0, orderOf(run.opt.order), order.data()) != KVE_OK)
        return false;
    std::vector<std::vector<int>> members(static_cast<size_t>(K));
    for (int i = 0; i < run.inner; ++i) members[static_cast<size_t>(groupOf[static_cast<size_t>(i)])].push_back(i);
    run.members.clear();
    for (int j = 0; j < K; ++j) {
        const size_t k = static_cast<size_t>(order[static_cast<size_t>(j)]);
        run.members.push_back(members[k]);
        for (size_t r = 0; r < rows; ++r) W2[r * K + j] = Ws[r * K + k];
        std::copy(Hs.begin() + k * T, Hs.begin() + (k + 1) * T, H2.begin() + j * T);
    }
    const double scale = kve_activationScale(H2.data(), K, s.frames);
    std::vector<double> share(static_cast<size_t>(K));
    kve_energyShares(&s, W2.data(), H2.data(), K, share.data());
    for (int k = 0; k < K; ++k)
        run.components.push_back(showComponent(run, W2.data(), H2.data(), K, k, scale, share[size_t(k)]));
    return true;
}

// With --span: each component's span spectra as shown (the channels' halves
// summed), each weighted by its activation's sum, the largest value 1.
void takeSpanBases(Run &run) {
    const kve_streamShape &s = run.shape;
    const int L = run.model.span, K = run.opt.components;
    const size_t bins = static_cast<size_t>(s.bins), T = static_cast<size_t>(s.frames);
    run.spanBases.assign(static_cast<size_t>(K) * L * bins, 0.0);
    std::vector<double> w(bins);
    for (int k = 0; k < K; ++k) {
        double *out = run.spanBases.data() + static_cast<size_t>(k) * L * bins;
        for (int i : run.members[static_cast<size_t>(k)]) {
            kve_shownBasis(&s, run.W.data(), run.inner, i, w.data());
            const double *h = run.H.data() + static_cast<size_t>(i) * T;
            const double weight = std::accumulate(h, h + T, 0.0);
            for (size_t b = 0; b < bins; ++b) out[static_cast<size_t>(i % L) * bins + b] += w[b] * weight;
        }
        const double top = *std::max_element(out, out + static_cast<size_t>(L) * bins);
        if (top > 0)
            for (size_t b = 0; b < static_cast<size_t>(L) * bins; ++b) out[b] /= top;
    }
}

// W and H (rows x n, n x frames) from the chosen start; false when memory
// ran out.
bool startFactors(Run &run, int n) {
    const kve_streamShape &s = run.shape;
    if (!run.seedDrawn)
        run.seedUsed = run.opt.seed
                           ? *run.opt.seed
                           : static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count());
    run.seedDrawn = true;
    run.W.assign(static_cast<size_t>(s.rows) * n, 0.0);
    run.H.assign(static_cast<size_t>(n) * s.frames, 0.0);
    if (run.start == "random")
        kve_randomStart(run.seedUsed, s.rows, s.frames, n, run.W.data(), run.H.data());
    else if (run.bands > 0) {
        if (kve_bandStart(run.V.data(), s.rows, s.frames, n, run.seedUsed, run.bandOf.data(), run.bands, run.W.data(),
                          run.H.data()) != 0)
            return false;
    } else if (kve_nndsvdaStart(run.V.data(), s.rows, s.frames, n, run.seedUsed, run.W.data(), run.H.data()) != 0)
        return false;
    if (n == run.opt.components) putGivenBases(run);
    return true;
}

// The rounds of `model` on W and H (n components, span blocks of W) until
// `rounds` or the tolerance stops them; given bases keep their place, and
// with --fix-bases their values. Rounds on bases of one frame take the bands.
int iterate(Run &run, const kve_model &model, int rounds, int n, std::vector<double> &W, std::vector<double> &H,
            const RoundWatch &watch) {
    kve_rounds how{};
    how.cost = model.beta == 2.0 ? KVE_EUCLIDEAN : KVE_KULLBACK_LEIBLER;
    how.iterations = rounds;
    how.tol = run.opt.tol;
    how.fixedK = !run.opt.given ? -1 : run.opt.fixBases ? givenCount(run.opt) : 0;
    how.model = &model;
    how.precision = run.precision == "double" ? KVE_DOUBLE : KVE_SINGLE;
    if (run.bands > 0 && model.span == 1 && !kve_modelIsPlain(&model)) {
        how.bandOf = run.bandOf.data();
        how.bands = run.bands;
        how.fineRounds = KVE_FINE_ROUNDS;
    }
    kve_roundsDone done{};
    const kve_status st = kve_streamFactorise(run.V.data(), run.shape.rows, static_cast<int>(run.shape.frames), n,
                                              W.data(), H.data(), &how, watch.onRound, watch.user, &done);
    if (st == KVE_STOPPED) return kStopped;
    if (st == KVE_NO_MEMORY) return 1;
    if (st != KVE_OK || !allFinite(W) || !allFinite(H)) return kOutOfRange;
    run.iterationsRun = done.iterations;
    run.roundsRelaxed = done.relaxed;
    run.divergence = done.cost;
    return 0;
}

// A watch over one stage of the rounds: its rounds counted on from the
// stages before and its total with the rounds still to come, so that a bar
// goes on rather than back.
struct StageWatch {
    RoundWatch outer;
    int before, after;
};

int stageRound(int done, int total, void *user) {
    const auto *w = static_cast<StageWatch *>(user);
    return w->outer.onRound(w->before + done, w->before + total + w->after, w->outer.user);
}

// Convolutive factors from the start in run.W and run.H, through the
// one-frame model's rounds first when it starts them (run.warmModel);
// then W and H as rank-one inner components.
int factoriseSpan(Run &run, int n, const RoundWatch &watch) {
    const kve_streamShape &s = run.shape;
    const int L = run.model.span;
    int warmRun = 0, warmRelaxed = 0;
    if (run.warmRounds > 0) {
        StageWatch first{watch, 0, run.rounds};
        if (int st = iterate(run, run.warmModel, run.warmRounds, n, run.W, run.H, {stageRound, &first})) return st;
        warmRun = run.iterationsRun;
        warmRelaxed = run.roundsRelaxed;
    }
    std::vector<double> Wc(static_cast<size_t>(L) * s.rows * n), Hc(run.H.size());
    kve_convolutiveStart(run.W.data(), run.H.data(), s.rows, s.frames, n, L, Wc.data(), Hc.data());
    StageWatch second{watch, warmRun, 0};
    if (int st = iterate(run, run.model, run.rounds, n, Wc, Hc, {stageRound, &second})) return st;
    run.iterationsRun += warmRun;
    run.roundsRelaxed += warmRelaxed;
    run.W.assign(static_cast<size_t>(s.rows) * n * L, 0.0);
    run.H.assign(static_cast<size_t>(n) * L * s.frames, 0.0);
    kve_expandConvolutive(Wc.data(), Hc.data(), s.rows, s.frames, n, L, run.W.data(), run.H.data());
    return 0;
}

// Factorised, then the convolutive components made rank-one inner ones and
// any pool grouped into -k: groupOf gives each inner component's source.
int factoriseModel(Run &run, const RoundWatch &watch, std::vector<int> &groupOf) {
    const kve_streamShape &s = run.shape;
    const int K = run.opt.components, n = run.pool > 0 ? run.pool : K, L = run.model.span;
    if (!startFactors(run, n)) return 1;
    if (L > 1) {
        if (int st = factoriseSpan(run, n, watch)) return st;
    } else if (int st = iterate(run, run.model, run.rounds, n, run.W, run.H, watch)) {
        return st;
    }
    run.inner = n * L;
    groupOf.resize(static_cast<size_t>(run.inner));
    for (int i = 0; i < run.inner; ++i) groupOf[static_cast<size_t>(i)] = i / L;
    if (run.pool == 0) return 0;
    // the pool's sources from its n components (each summed over its span)
    std::vector<double> Wn(static_cast<size_t>(s.rows) * n), Hn(static_cast<size_t>(n) * s.frames);
    kve_groupSummary(run.W.data(), run.H.data(), s.rows, s.frames, run.inner, groupOf.data(), n, Wn.data(), Hn.data());
    std::vector<int> source(static_cast<size_t>(n));
    if (kve_groupComponents(&s, run.sound.sampleRate, Wn.data(), Hn.data(), n, K, source.data()) != KVE_OK) return 1;
    for (int i = 0; i < run.inner; ++i) groupOf[static_cast<size_t>(i)] = source[static_cast<size_t>(i / L)];
    return 0;
}

// One stage of the rounds, stage(watch), with a progress bar of `total`
// rounds (or the caller's watch), again in double when single precision ran
// out of range.
template <typename Stage>
int watchedStage(Run &run, const RoundWatch &outer, const char *label, int total, Stage stage) {
    int st = 1;
    try {
        ProgressBar bar(label, total, run.progress && !outer.onRound);
        const RoundWatch watch = outer.onRound ? outer : RoundWatch{drawRound, &bar};
        st = stage(watch);
        if (st == kOutOfRange && run.precision == "single") {
            fail("warning: '" + shownInput(run.opt) +
                 "' is too loud for single precision: factorising it again in double");
            run.precision = "double";
            st = stage(watch);
        }
        if (st == 0) bar.finish();
    } catch (const std::bad_alloc &) {
        st = 1;
    }
    return st;
}

int factoriseWatched(Run &run, kve_progressFn onRound, void *user, const char *label, std::vector<int> &groupOf) {
    return watchedStage(run, {onRound, user}, label, run.warmRounds + run.rounds,
                        [&](const RoundWatch &watch) { return factoriseModel(run, watch, groupOf); });
}

// The fit's factors (run.W, run.H: K components of one frame) started into
// convolutive bases of `span` frames and their rounds, counted on from the
// fit's.
int followHits(Run &run, int span, kve_progressFn onRound, void *user, std::vector<int> &groupOf) {
    const int K = run.opt.components, before = run.iterationsRun, relaxed = run.roundsRelaxed;
    run.model.span = span;
    run.rounds = kve_defaultRounds(&run.model);
    run.warmRounds = 0;
    StageWatch second{{onRound, user}, before, 0};
    const RoundWatch outer = onRound ? RoundWatch{stageRound, &second} : RoundWatch{nullptr, nullptr};
    if (int st = watchedStage(run, outer, "following the hits", run.rounds,
                              [&](const RoundWatch &watch) { return factoriseSpan(run, K, watch); }))
        return st;
    run.iterationsRun += before;
    run.roundsRelaxed += relaxed;
    run.inner = K * span;
    groupOf.resize(static_cast<size_t>(run.inner));
    for (int i = 0; i < run.inner; ++i) groupOf[static_cast<size_t>(i)] = i / span;
    return 0;
}

// `starts` more fits from random starts (the run's seed + 1, + 2, ...),
// keeping the one that `score` (higher is better) prefers to the first; the
// rounds of all count.
template <typename Score>
int moreStarts(Run &run, int starts, Score score, kve_progressFn onRound, void *user, std::vector<int> &groupOf) {
    double best = score(run);
    std::vector<double> W = run.W, H = run.H;
    std::vector<int> groups = groupOf;
    double divergence = run.divergence;
    int rounds = run.iterationsRun, relaxed = run.roundsRelaxed, kept = 0;
    const std::string start = run.start;
    const unsigned seed = run.seedUsed;
    const int each = run.warmRounds + run.rounds;
    int st = 0;
    run.start = "random";
    for (int i = 1; i <= starts; ++i) {
        run.seedUsed = seed + static_cast<unsigned>(i);
        StageWatch stage{{onRound, user}, rounds, (starts - i) * each};
        st =
            factoriseWatched(run, onRound ? stageRound : nullptr, onRound ? &stage : nullptr, "another start", groupOf);
        if (st != 0) break;
        rounds += run.iterationsRun;
        relaxed += run.roundsRelaxed;
        if (const double got = score(run); got > best) {
            best = got;
            W = run.W;
            H = run.H;
            groups = groupOf;
            divergence = run.divergence;
            kept = i;
        }
    }
    run.start = start;
    run.seedUsed = seed;
    run.W = std::move(W);
    run.H = std::move(H);
    groupOf = std::move(groups);
    run.divergence = divergence;
    run.iterationsRun = rounds;
    run.roundsRelaxed = relaxed;
    run.starts = 1 + starts;
    run.startKept = kept;
    if (st == 0 && kept > 0) say(run, "kept the components of the random start from seed %u", seed + kept);
    return st;
}

}  // namespace

int factorise(Run &run, kve_progressFn onRound, void *user) {
    const int K = run.opt.components;
    if (int status = checkGivenBases(run)) return status;
    say(run, "Factorizing sound with k=%d...", K);
    auto t0 = std::chrono::steady_clock::now();
    std::vector<int> groupOf;
    int st = factoriseWatched(run, onRound, user, "factorising", groupOf);
    // sources richer than a spectrum each: factorised again as a pool
    const int rich = st == 0 && run.poolFromFit && run.pool == 0
                         ? kve_richPool(&run.shape, &run.model, K, run.V.data(), run.divergence)
                         : 0;
    if (rich > 0) {
        say(run, "%d components leave much of the sound unexplained: factorising %d and grouping them", K, rich);
        run.pool = rich;
        StageWatch second{{onRound, user}, run.iterationsRun, 0};
        st = factoriseWatched(run, onRound ? stageRound : nullptr, onRound ? &second : nullptr, "factorising the pool",
                              groupOf);
    }
    // every component rising like a hit (a kit): convolutive bases from the fit
    const int hits = st == 0 && rich == 0 && run.poolFromFit && run.pool == 0 && !run.opt.span
                         ? kve_hitSpan(&run.shape, &run.model, K, run.W.data(), run.H.data())
                         : 1;
    if (hits > 1) {
        say(run, "the %d components rise like hits: following each over %d frames", K, hits);
        st = followHits(run, hits, onRound, user, groupOf);
    }
    // mostly held sounds: more starts, the most clearly pitched components kept
    const int starts = st == 0 && rich == 0 && hits <= 1 && run.poolFromFit && run.pool == 0 && !run.opt.span
                           ? kve_heldStarts(&run.shape, &run.model, K, run.inner, run.H.data())
                           : 0;
    if (starts > 0) {
        say(run, "the %d components are mostly held sounds: %d more starts, keeping the most clearly pitched", K,
            starts);
        auto clarity = [K](const Run &r) { return kve_pitchClarity(&r.shape, r.sound.sampleRate, r.W.data(), K); };
        st = moreStarts(run, starts, clarity, onRound, user, groupOf);
    }
    run.factorSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (st == kStopped) return 1;
    if (st == kOutOfRange) {
        fail("the factorisation of '" + shownInput(run.opt) +
             "' went beyond the range of its numbers: the sound is far above full scale; scale it down");  // in double
                                                                                                           // too
        return 1;
    }
    if (st != 0) {
        fail("not enough memory for the factorisation");
        return 1;
    }
    say(run, "done: %d rounds, divergence %g", run.iterationsRun, run.divergence);
    run.maskPower = kve_maskPower(&run.shape, &run.model, K, run.inner, run.H.data());
    try {
        const bool grouped = run.inner != K;
        if (grouped ? takeGroupedComponents(run, groupOf) : takeComponents(run)) {
            if (run.model.span > 1) takeSpanBases(run);
            return 0;
        }
    } catch (const std::bad_alloc &) {
    }
    fail("not enough memory for the factorisation");
    return 1;
}

}  // namespace korvane
