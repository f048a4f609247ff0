// The model of the factorisation from the options: the engine's default for
// the framing (plain NMF with --plain or given bases) with each option given
// put over it.
#include "decompose/decompose_steps.hpp"

#include <cmath>
#include <numeric>

namespace korvane {

namespace {

bool checkWeight(const std::optional<double> &v, const char *name) {
    if (!v || (std::isfinite(*v) && *v >= 0)) return true;
    fail(std::string(name) + " must be 0 or a positive number");
    return false;
}

int costOf(const std::string &name) {
    return name == "euclidean" ? KVE_EUCLIDEAN : KVE_KULLBACK_LEIBLER;
}

}  // namespace

int chooseModel(Run &run) {
    const DecomposeOptions &opt = run.opt;
    const int K = opt.components;
    if (opt.cost && *opt.cost != "kl" && *opt.cost != "euclidean" && *opt.cost != "is") {
        fail("--cost must be kl, euclidean or is");
        return 2;
    }
    if (opt.precision != "single" && opt.precision != "double") {
        fail("--precision must be single or double");
        return 2;
    }
    if (opt.beta && !std::isfinite(*opt.beta)) {
        fail("--beta must be a finite number");
        return 2;
    }
    if (!checkWeight(opt.l1W, "--sparse-w") || !checkWeight(opt.l1H, "--sparse-h") || !checkWeight(opt.l2W, "--l2-w") ||
        !checkWeight(opt.l2H, "--l2-h") || !checkWeight(opt.continuity, "--continuity"))
        return 2;
    if (opt.span && (*opt.span < 1 || *opt.span > KVE_MOST_SPAN)) {
        fail("--span must be between 1 and " + std::to_string(KVE_MOST_SPAN) + " frames");
        return 2;
    }
    if (opt.channelSpectra && *opt.channelSpectra != "shared" && *opt.channelSpectra != "own") {
        fail("--channel-spectra must be shared or own");
        return 2;
    }
    if (opt.filter && *opt.filter != "spatial" && *opt.filter != "masks") {
        fail("--filter must be spatial or masks");
        return 2;
    }
    if (opt.relax && !(*opt.relax >= 1 && *opt.relax <= KVE_MOST_RELAX)) {
        fail("--relax must be between 1 and " + std::to_string(KVE_MOST_RELAX));
        return 2;
    }
    if (opt.bands && !(std::isfinite(*opt.bands) && *opt.bands >= 0)) {
        fail("--bands must be 0 or a frequency in Hz");
        return 2;
    }
    if (opt.bands && *opt.bands > 0 && ((opt.span && *opt.span > 1) || opt.plain || opt.given)) {
        fail("--bands works with the model's rounds on bases of one frame: leave out --span, --plain and --bases");
        return 2;
    }
    if (opt.pool && *opt.pool != 0 && (*opt.pool < K || *opt.pool > kMaxPool)) {
        fail("--pool must be 0 or between -k (" + std::to_string(K) + ") and " + std::to_string(kMaxPool));
        return 2;
    }
    // the defaults are the framing's (resolveModel); given bases are single
    // spectra of single components, so with them the defaults are plain
    if (opt.given && ((opt.span && *opt.span > 1) || (opt.pool && *opt.pool > 0 && *opt.pool != K))) {
        fail("--bases cannot be used with --span or --pool: given bases are single spectra of single components");
        return 2;
    }
    const bool beta = (opt.beta && *opt.beta != 1 && *opt.beta != 2) || (opt.cost && *opt.cost == "is");
    // any model option beyond the cost: penalties, continuity, relaxed rounds, shared spectra
    const bool modelled = opt.l1W.value_or(0) > 0 || opt.l1H.value_or(0) > 0 || opt.l2W.value_or(0) > 0 ||
                          opt.l2H.value_or(0) > 0 || opt.continuity.value_or(0) > 0 || opt.relax.value_or(1) > 1 ||
                          opt.channelSpectra.value_or("own") == "shared";
    if (opt.fixBases && (beta || modelled)) {
        fail("--fix-bases keeps given bases only in plain NMF: leave out the model options");
        return 2;
    }
    return 0;
}

void resolveModel(Run &run) {
    const DecomposeOptions &opt = run.opt;
    const int K = opt.components;
    const bool plain = opt.plain || opt.given;
    kve_model m = plain ? kve_plainModel(KVE_KULLBACK_LEIBLER) : kve_defaultModel(&run.shape);
    if (opt.cost) m.beta = *opt.cost == "is" ? 0.0 : costOf(*opt.cost) == KVE_EUCLIDEAN ? 2.0 : 1.0;
    if (opt.beta) m.beta = *opt.beta;
    if (opt.l1W) m.l1W = *opt.l1W;
    if (opt.l1H) m.l1H = *opt.l1H;
    if (opt.l2W) m.l2W = *opt.l2W;
    if (opt.l2H) m.l2H = *opt.l2H;
    if (opt.continuity) m.continuity = *opt.continuity;
    if (opt.span) m.span = *opt.span;
    if (opt.relax) m.relax = *opt.relax;
    if (opt.channelSpectra) m.shared = *opt.channelSpectra == "shared" && run.shape.stacked ? run.shape.channels : 0;
    run.model = m;
    // the spatial filter wants two stacked channels; plain NMF keeps the masks
    run.filter = opt.filter ? (*opt.filter == "spatial" ? KVE_SPATIAL : KVE_MASKS)
                 : plain    ? KVE_MASKS
                            : kve_defaultFilter(&run.shape);
    if (!(run.shape.stacked && run.shape.channels == 2)) run.filter = KVE_MASKS;
    run.maskKind = run.filter == KVE_SPATIAL ? "spatial" : "ratio";
    run.pool = opt.pool ? *opt.pool : plain ? 0 : kve_defaultPool(&run.shape, K);
    if (run.pool == K) run.pool = 0;
    run.poolFromFit = !opt.pool && !plain;
    // bands for the model's rounds on bases of one frame, also those that
    // start convolutive bases (kve_spanWarmModel)
    kve_model oneFrame{};
    const bool warm = !plain && kve_spanWarmModel(&m, &oneFrame);
    const bool oneFrameRounds = m.span == 1 || warm;
    run.bandsHz = plain || !oneFrameRounds || kve_modelIsPlain(warm ? &oneFrame : &m)
                      ? 0.0
                      : opt.bands.value_or(kve_defaultBands(&run.shape));
    run.bandOf.assign(static_cast<size_t>(run.shape.rows), 0);
    run.bands = kve_bandLayout(&run.shape, static_cast<int>(run.sound.sampleRate), run.bandsHz, run.bandOf.data());
    if (run.bands == 0) {
        run.bandOf.clear();
        run.bandsHz = 0;
    }
    // with bands, the last rounds on every row come on top
    const int fine = run.bands > 0 ? KVE_FINE_ROUNDS : 0;
    run.rounds = opt.iterations ? *opt.iterations : kve_defaultRounds(&m) + (m.span == 1 ? fine : 0);
    run.warmRounds = warm ? kve_defaultRounds(&oneFrame) + fine : 0;
    run.warmModel = oneFrame;
}

std::string costName(const kve_model &m) {
    if (m.beta == 1.0) return "kl";
    if (m.beta == 2.0) return "euclidean";
    if (m.beta == 0.0) return "is";
    return "beta";
}

std::vector<int> innerOf(const Run &run, int k) {
    if (run.members.empty()) return {k};
    return run.members[static_cast<size_t>(k)];
}

}  // namespace korvane
