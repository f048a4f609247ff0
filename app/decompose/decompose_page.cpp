// index.html: the listening page, from the run's components and the
// magnitude the factorisation worked on (stacked channels summed).
#include "decompose/bases.hpp"
#include "decompose/decompose_steps.hpp"
#include "page/page.hpp"

#include <filesystem>

namespace korvane {

int writeListeningPage(Run &run, StagedSet &out) {
    if (int status = finishPageAudio(run)) return status;
    const kve_streamShape &sh = run.shape;
    std::vector<std::vector<double>> w, acts;
    std::vector<double> centroids;
    std::vector<std::string> audio;
    for (Component &c : run.components) {
        w.push_back(c.shown);
        acts.push_back(c.activation);
        centroids.push_back(c.centroidHz);
        audio.push_back(std::move(c.pageAudio));
    }
    // the remix command names the folder so that it works from anywhere
    std::error_code ec;
    std::string dir = std::filesystem::canonical(out.dir(), ec).string();
    // the magnitudes as the run holds them: a plane a row of channels
    const size_t cells = static_cast<size_t>(sh.bins) * static_cast<size_t>(sh.frames);
    const int planes = static_cast<int>(run.V.size() / cells);
    PageData pd = pageFromRun(run.name, ec ? out.dir() : dir, run.sound, sh.N, sh.hop, w, acts, centroids, run.V.data(),
                              planes, std::move(run.pageOriginal), std::move(audio));
    const size_t L = static_cast<size_t>(run.model.span), bins = static_cast<size_t>(sh.bins);
    for (PageComponent &c : pd.components)
        for (size_t l = 0; L > 1 && l < L; ++l) {
            auto first = run.spanBases.begin() + static_cast<long>(((size_t(c.number) - 1) * L + l) * bins);
            c.span.emplace_back(first, first + static_cast<long>(bins));
        }
    const int given = givenCount(run.opt);
    for (PageComponent &c : pd.components)
        if (c.number <= given) {
            const GivenBasis &b = run.opt.given->bases[static_cast<size_t>(c.number - 1)];
            c.given = run.opt.given->files[b.file].path + ", component " + std::to_string(b.number);
        }
    // frames start lead samples before the sound
    pd.firstFrameSec = (sh.window / 2.0 - static_cast<double>(sh.lead)) / run.sound.sampleRate;
    std::string err;
    if (!writePage(out.stage("index.html"), pd, err)) {
        fail(err);
        return 1;
    }
    // listed after components.json (writeComponentsJson), as before
    return 0;
}

}  // namespace korvane
