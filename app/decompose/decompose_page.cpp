// index.html: the listening page, from the run's components and the
// magnitude the factorisation worked on (stacked channels summed).
#include "decompose/bases.hpp"
#include "decompose/decompose_steps.hpp"
#include "page/page.hpp"

namespace korvane {

int writeListeningPage(Run &run, OutputSet &out) {
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
    PageData pd = pageFromRun(run.name, out.dir(), run.sound, sh.N, sh.hop, w, acts, centroids, shownMagnitude(run),
                              std::move(audio));
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
    run.written.push_back("index.html");
    return 0;
}

}  // namespace korvane
