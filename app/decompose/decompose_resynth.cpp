// One sound per chosen component and one per --group, all in one pass of
// the level-true resynthesis (resynth_pass.hpp), in the run's sample format.
#include "decompose/decompose_steps.hpp"
#include "page/page.hpp"
#include "decompose/resynth_pass.hpp"

#include <chrono>

namespace korvane {

namespace {

std::vector<PassFile> planFiles(Run &run, StagedSet &out, std::vector<std::vector<float>> &pageSamples) {
    const char *ext = fileExtension(run.format);
    std::vector<PassFile> files;
    if (run.opt.page) pageSamples.resize(run.chosen.size());
    for (size_t i = 0; i < run.chosen.size(); ++i) {
        std::string file = componentFile(run.name, run.chosen[i], ext);
        files.push_back(
            {file, out.stage(file), innerOf(run, run.chosen[i] - 1), run.opt.page ? &pageSamples[i] : nullptr});
    }
    for (size_t g = 0; g < run.groups.size(); ++g) {
        std::string file = groupFile(run.name, g, run.groups.size(), ext);
        PassFile f{file, out.stage(file), {}, nullptr};
        for (int n : run.groups[g])
            for (int i : innerOf(run, n - 1)) f.comps.push_back(i);
        files.push_back(f);
    }
    return files;
}

bool encodeForPage(Run &run, const std::vector<std::vector<float>> &pageSamples, std::string &err) {
    const int channels = run.shape.channels;
    const double seconds = static_cast<double>(run.shape.length) / run.sound.sampleRate;
    for (size_t i = 0; i < pageSamples.size(); ++i) {
        const std::vector<float> &s = pageSamples[i];
        std::string &audio = run.components[static_cast<size_t>(run.chosen[i] - 1)].pageAudio;
        if (!encodePageAudio(s.data(), static_cast<long>(s.size()) / channels, channels, run.sound.sampleRate,
                             pageAudioQuality(static_cast<int>(run.components.size()) + 1, seconds), audio, err))
            return false;
    }
    return true;
}

}  // namespace

int resynthesiseAndWrite(Run &run, StagedSet &out) {
    auto t0 = std::chrono::steady_clock::now();
    std::string err;
    if (!chooseFormat(run.opt.format, run.opt.input, run.format, err)) {
        fail(err);
        return 1;
    }
    std::vector<std::vector<float>> pageSamples;
    std::vector<PassFile> files = planFiles(run, out, pageSamples);
    PassSource src{&run.shape, soundSource(run), run.W.data(), run.H.data(), run.inner, run.sound.sampleRate, {}};
    PassSettings set{run.format, run.opt.quiet, run.progress};
    if (!writeResynthesis(src, files, set, run.commonGain, err) || !encodeForPage(run, pageSamples, err)) {
        fail(err);
        return 1;
    }
    for (const PassFile &f : files) run.written.push_back(f.file);
    run.resynthSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return 0;
}

}  // namespace korvane
