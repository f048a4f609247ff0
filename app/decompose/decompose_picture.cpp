// decomposition.png: the input's spectrogram, the bases and
// the activations.
#include "decompose/bases.hpp"
#include "decompose/decompose_steps.hpp"
#include "picture/plot.hpp"

namespace korvane {

int drawPicture(Run &run, StagedSet &out) {
    const kve_streamShape &s = run.shape;
    PlotData pd;
    pd.title = run.name;
    pd.sampleRate = run.sound.sampleRate;
    pd.duration = static_cast<double>(run.sound.frames) / run.sound.sampleRate;
    pd.fftSize = s.N;
    pd.hop = s.hop;
    pd.bins = s.bins;
    pd.frames = static_cast<int>(s.frames);
    for (const Component &c : run.components) {
        pd.bases.push_back(c.shown);
        pd.activations.push_back(c.activation);
        pd.centroidsHz.push_back(c.centroidHz);
    }
    const size_t L = static_cast<size_t>(run.model.span), bins = static_cast<size_t>(s.bins);
    for (size_t k = 0; L > 1 && k < run.components.size(); ++k) {
        pd.spanBases.emplace_back();
        for (size_t l = 0; l < L; ++l) {
            auto first = run.spanBases.begin() + static_cast<long>((k * L + l) * bins);
            pd.spanBases.back().emplace_back(first, first + static_cast<long>(bins));
        }
    }
    pd.given = givenCount(run.opt);
    pd.order = run.opt.order;
    // the magnitude the factorisation worked on (stacked channels summed)
    pd.spectrogram = shownMagnitude(run);
    std::string err;
    if (!writePlot(out.stage("decomposition.png"), pd, err)) {
        fail(err);
        return 1;
    }
    run.written.push_back("decomposition.png");
    return 0;
}

}  // namespace korvane
