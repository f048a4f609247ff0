// components.json: the settings, the analysis and every component.
#include "decompose_steps.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>

namespace korvane {

namespace {

using json = nlohmann::ordered_json;

json settingsJson(const Run &run) {
    const DecomposeOptions &opt = run.opt;
    auto orNull = [](const auto &o) { return o ? json(*o) : json(nullptr); };
    return {{"components", opt.components}, {"win", orNull(opt.win)},   {"hop", orNull(opt.hop)},
            {"seed", orNull(opt.seed)},     {"format", opt.format},      {"only", run.chosen},
            {"group", run.grouped}};
}

// Every bin's frequency and every frame's time (that of its centre).
void axesJson(const Run &run, json &j) {
    const kve_engine &e = run.e();
    const double rate = run.sound.sampleRate;
    std::vector<double> binHz(static_cast<size_t>(e.numBins)), frameSec(static_cast<size_t>(e.numFrames));
    for (size_t b = 0; b < binHz.size(); ++b) binHz[b] = static_cast<double>(b) * rate / e.fftSize;
    for (size_t t = 0; t < frameSec.size(); ++t)
        frameSec[t] = (static_cast<double>(t) * e.hopSize + e.fftSize / 2.0) / rate;
    j["bin_frequencies"] = binHz;
    j["frame_times"] = frameSec;
}

json componentsArray(const Run &run) {
    json comps = json::array();
    for (size_t k = 0; k < run.components.size(); ++k) {
        const Component &c = run.components[k];
        int number = static_cast<int>(k) + 1;
        bool hasFile = std::find(run.chosen.begin(), run.chosen.end(), number) != run.chosen.end();
        comps.push_back({{"number", number},
                         {"file", hasFile ? json(componentFile(run.name, number)) : json(nullptr)},
                         {"centroid_hz", std::isfinite(c.centroidHz) ? json(c.centroidHz) : json(nullptr)},
                         {"basis", c.shown},
                         {"activation", c.activation}});
    }
    return comps;
}

}  // namespace

int writeComponentsJson(Run &run, OutputSet &out) {
    const kve_engine &e = run.e();
    json j;
    j["input"] = run.opt.input;
    j["settings"] = settingsJson(run);
    j["sample_rate"] = run.sound.sampleRate;
    j["channels"] = run.sound.channels;
    j["samples"] = run.sound.frames;
    j["fft_size"] = e.fftSize;
    j["hop"] = e.hopSize;
    j["bins"] = e.numBins;
    j["frames"] = e.numFrames;
    axesJson(run, j);
    j["components"] = componentsArray(run);
    if (!run.grouped.empty()) j["group_file"] = run.name + "-group.wav";

    std::ofstream f(out.stage("components.json"));
    f << j.dump(1) << '\n';
    f.close();
    if (!f) {
        fail("cannot write '" + out.finalPath("components.json") + "'");
        return 1;
    }
    run.written.push_back("components.json");
    return 0;
}

}  // namespace korvane
