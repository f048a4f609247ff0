// components.json: the settings, the analysis and every component.
#include "decompose/bases.hpp"
#include "files/compact_json.hpp"
#include "decompose/decompose_steps.hpp"
#include "files/factors_record.hpp"
#include "files/file_hash.hpp"
#include "decompose/resynth_pass.hpp"
#include "files/name_bytes.hpp"
#include "files/record_json.hpp"
#include "files/tool_record.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

namespace korvane {

namespace {

using json = nlohmann::ordered_json;

json settingsJson(const Run &run) {
    const DecomposeOptions &opt = run.opt;
    auto orNull = [](const auto &o) { return o ? json(*o) : json(nullptr); };
    return {{"components", opt.components},
            {"win", orNull(opt.win)},
            {"hop", orNull(opt.hop)},
            {"fft", orNull(opt.fft)},
            {"seed", orNull(opt.seed)},
            {"format", opt.format},
            {"only", run.chosen},
            {"group", run.groups.empty() ? std::vector<int>() : run.groups[0]},
            {"groups", run.groups},
            {"cost", orNull(opt.cost)},
            {"order", opt.order},
            {"bases", opt.bases},
            {"fix_bases", opt.fixBases},
            {"extra", opt.extra},
            {"beta", orNull(opt.beta)},
            {"sparse_w", orNull(opt.l1W)},
            {"sparse_h", orNull(opt.l1H)},
            {"l2_w", orNull(opt.l2W)},
            {"l2_h", orNull(opt.l2H)},
            {"continuity", orNull(opt.continuity)},
            {"span", orNull(opt.span)},
            {"pool", orNull(opt.pool)},
            {"plain", opt.plain},
            {"precision", run.precision},
            {"iterations", orNull(opt.iterations)},
            {"relax", orNull(opt.relax)},
            {"bands", orNull(opt.bands)},
            {"channel_spectra", orNull(opt.channelSpectra)},
            {"filter", orNull(opt.filter)}};
}

// The model the rounds lowered, every value as used.
json modelJson(const Run &run) {
    const kve_model &m = run.model;
    return {{"beta", m.beta},
            {"sparse_w", m.l1W},
            {"sparse_h", m.l1H},
            {"l2_w", m.l2W},
            {"l2_h", m.l2H},
            {"continuity", m.continuity},
            {"span", m.span},
            {"pool", run.pool},
            {"relax", kve_modelRelax(&m)},
            {"bands", run.bandsHz},
            {"channel_spectra", kve_modelShared(&m, run.shape.rows) > 1 ? "shared" : "own"}};
}

// Where a given component came from: its file and number there; null for
// a component learned from scratch.
json sourceOf(const Run &run, size_t k) {
    if (k >= static_cast<size_t>(givenCount(run.opt))) return nullptr;
    const GivenBasis &b = run.opt.given->bases[k];
    return {{"file", run.opt.given->files[b.file].path}, {"number", b.number}};
}

// Every bin's frequency and every frame's time (that of its centre; the
// first frames start lead samples before the sound).
void axesJson(const Run &run, json &j) {
    const kve_streamShape &e = run.shape;
    const double rate = run.sound.sampleRate;
    std::vector<double> binHz(static_cast<size_t>(e.bins)), frameSec(static_cast<size_t>(e.frames));
    for (size_t b = 0; b < binHz.size(); ++b) binHz[b] = static_cast<double>(b) * rate / e.N;
    for (size_t t = 0; t < frameSec.size(); ++t)
        frameSec[t] = (static_cast<double>(t) * e.hop - static_cast<double>(run.shape.lead) + e.window / 2.0) / rate;
    j["bin_frequencies"] = binHz;
    j["frame_times"] = frameSec;
}

double sum(const std::vector<double> &v) {
    double s = 0;
    for (double x : v) s += x;
    return s;
}

// Peak frequencies and energy shares the factorisation left at 0: the
// bin of the basis's largest value; a component's sum over all cells of
// w h, (sum w)(sum h), over that of all components.
void fillPeaksAndShares(Run &run) {
    const double binHz = static_cast<double>(run.sound.sampleRate) / run.shape.N;
    for (Component &c : run.components)
        if (c.peakHz == 0 && !c.shown.empty())
            c.peakHz = binHz * static_cast<double>(std::max_element(c.shown.begin(), c.shown.end()) - c.shown.begin());
    bool anyShare = std::any_of(run.components.begin(), run.components.end(),
                                [](const Component &c) { return c.energyShare != 0; });
    if (anyShare) return;
    std::vector<double> cell;
    for (const Component &c : run.components) cell.push_back(sum(c.shown) * sum(c.activation));
    const double total = sum(cell);
    for (size_t k = 0; k < cell.size() && total > 0; ++k) run.components[k].energyShare = cell[k] / total;
}

// The input's path from the root, so that a remix run elsewhere finds it.
std::string absolutePath(const std::string &path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
    return ec ? path : p.string();
}

json finiteOrNull(double v) {
    return std::isfinite(v) ? json(v) : json(nullptr);
}

// Component k's span spectra, each bins values, the largest of all 1.
json spanBasesJson(const Run &run, size_t k) {
    const size_t L = static_cast<size_t>(run.model.span), bins = static_cast<size_t>(run.shape.bins);
    json frames = json::array();
    for (size_t l = 0; l < L; ++l) {
        auto first = run.spanBases.begin() + static_cast<long>((k * L + l) * bins);
        frames.push_back(std::vector<double>(first, first + static_cast<long>(bins)));
    }
    return frames;
}

json componentsArray(const Run &run) {
    json comps = json::array();
    for (size_t k = 0; k < run.components.size(); ++k) {
        const Component &c = run.components[k];
        int number = static_cast<int>(k) + 1;
        bool hasFile = std::find(run.chosen.begin(), run.chosen.end(), number) != run.chosen.end();
        comps.push_back(
            {{"number", number},
             {"file", hasFile ? json(componentFile(run.name, number, fileExtension(run.format))) : json(nullptr)},
             {"centroid_hz", finiteOrNull(c.centroidHz)},
             {"peak_hz", finiteOrNull(c.peakHz)},
             {"energy_share", finiteOrNull(c.energyShare)},
             {"basis", c.shown},
             {"activation", c.activation},
             {"source", sourceOf(run, k)}});
        if (run.model.span > 1) comps.back()["basis_frames"] = spanBasesJson(run, k);
        if (!run.members.empty()) comps.back()["parts"] = run.members[k].size();
    }
    return comps;
}

void factorisationJson(const Run &run, json &j) {
    j["iterations_run"] = run.iterationsRun;
    j["rounds_relaxed"] = run.roundsRelaxed;
    j["divergence"] = finiteOrNull(run.divergence);
    j["cost"] = costName(run.model);
    j["model"] = modelJson(run);
    j["start"] = run.start;
    j["seed_used"] = run.seedUsed;
    j["starts"] = run.starts;
    j["start_kept"] = run.startKept;
    j["channel_mode"] = run.channelMode;
    j["mask"] = run.maskKind;
    j["common_gain"] = run.commonGain;
    j["file_format"] = formatLabel(run.format);
}

// The group files: group_file names the first, group_files every one.
void groupsJson(const Run &run, json &j) {
    std::vector<std::string> files;
    for (size_t g = 0; g < run.groups.size(); ++g)
        files.push_back(groupFile(run.name, g, run.groups.size(), fileExtension(run.format)));
    if (!files.empty()) j["group_file"] = files[0];
    j["group_files"] = files;
}

// Every file of this run, components.json and the page (written before
// it, listed after it) included.
std::vector<std::string> runFiles(const Run &run) {
    std::vector<std::string> files = run.written;
    files.push_back("components.json");
    if (run.opt.page) files.push_back("index.html");
    return files;
}

// The names this run writes: an earlier run's files of these names that it
// does not write again are its to remove.
bool runFileName(const std::string &name, const std::string &stem) {
    auto startsWith = [&name](const std::string &p) { return name.compare(0, p.size(), p) == 0; };
    return name == "decomposition.png" || name == "index.html" || startsWith(stem + "-c") ||
           startsWith(stem + "-group");
}

}  // namespace

int writeComponentsJson(Run &run, StagedSet &out) {
    const kve_streamShape &e = run.shape;
    if (!inputHashed(run)) return 1;
    const FileFingerprint &input = run.inputPrint;
    if (!stillSameFile(run.opt.input, input)) {
        fail("'" + shownInput(run.opt) + "' changed while it was decomposed; nothing is written: decompose it again");
        return 1;
    }
    fillPeaksAndShares(run);
    json j;
    j["generator"] = kGenerator;
    j["version"] = KORVANE_VERSION;
    putName(j, "input", shownInput(run.opt));
    j["input_size"] = input.size;
    j["input_hash"] = hashText(input.hash);
    // a copy of standard input is gone after the run: remix needs --input
    if (run.opt.fromStdin)
        j["input_absolute"] = nullptr;
    else
        putName(j, "input_absolute", absolutePath(run.opt.input));
    j["settings"] = settingsJson(run);
    j["sample_rate"] = run.sound.sampleRate;
    j["channels"] = run.sound.channels;
    j["samples"] = run.sound.frames;
    j["window_samples"] = e.window;
    j["fft_size"] = e.N;
    j["hop"] = e.hop;
    j["bins"] = e.bins;
    j["frames"] = e.frames;
    factorisationJson(run, j);
    groupsJson(run, j);
    j["files"] = runFiles(run);
    j["written"] = stampsJson(out.stamps());
    axesJson(run, j);
    j["components"] = componentsArray(run);
    j["factors"] = factorsJson(run.shape, run.W, run.H, run.members, run.maskPower);

    const std::string stem = run.name;
    out.setRecord("components.json", [stem](const std::string &name) { return runFileName(name, stem); });
    std::ofstream f(out.stage("components.json"));
    dumpCompact(f, j);
    f << '\n';
    f.close();
    if (!f) {
        fail("cannot write '" + out.finalPath("components.json") + "'");
        return 1;
    }
    run.written.push_back("components.json");
    if (run.opt.page) run.written.push_back("index.html");
    return 0;
}

}  // namespace korvane
