// index.html: the listening page, from the run's components and the
// magnitude the factorisation worked on.
#include "decompose_steps.hpp"
#include "page/page.hpp"

namespace korvane {

int writeListeningPage(Run &run, OutputSet &out) {
    const kve_engine &e = run.e();
    std::vector<std::vector<double>> w, acts;
    std::vector<double> centroids;
    std::vector<std::string> audio;
    for (Component &c : run.components) {
        w.push_back(c.shown);
        acts.push_back(c.activation);
        centroids.push_back(c.centroidHz);
        audio.push_back(std::move(c.pageAudio));
    }
    std::vector<double> mag(static_cast<size_t>(e.numBins) * static_cast<size_t>(e.numFrames));
    if (kve_magnitude(&e, mag.data()) != KVE_OK) {
        fail("not enough memory for the page's spectrogram");
        return 1;
    }
    PageData pd = pageFromRun(run.name, out.dir(), run.sound, e.fftSize, e.hopSize, w, acts, centroids,
                              std::move(mag), std::move(audio));
    std::string err;
    if (!writePage(out.stage("index.html"), pd, err)) {
        fail(err);
        return 1;
    }
    run.written.push_back("index.html");
    return 0;
}

}  // namespace korvane
