// decomposition.png: the input's spectrogram from the engine, the bases and
// the activations.
#include "decompose_steps.hpp"
#include "plot.hpp"

namespace korvane {

int drawPicture(Run &run, OutputSet &out) {
    const kve_engine &e = run.e();
    PlotData pd;
    pd.title = run.name;
    pd.sampleRate = run.sound.sampleRate;
    pd.duration = static_cast<double>(run.sound.frames) / run.sound.sampleRate;
    pd.fftSize = e.fftSize;
    pd.hop = e.hopSize;
    pd.bins = static_cast<int>(e.numBins);
    pd.frames = static_cast<int>(e.numFrames);
    for (const Component &c : run.components) {
        pd.bases.push_back(c.shown);
        pd.activations.push_back(c.activation);
        pd.centroidsHz.push_back(c.centroidHz);
    }
    // the magnitude the factorisation worked on
    pd.spectrogram.resize(static_cast<size_t>(e.numBins) * static_cast<size_t>(e.numFrames));
    if (kve_magnitude(&e, pd.spectrogram.data()) != KVE_OK) {
        fail("not enough memory for the picture's spectrogram");
        return 1;
    }
    std::string err;
    if (!writePlot(out.stage("decomposition.png"), pd, err)) {
        fail(err);
        return 1;
    }
    run.written.push_back("decomposition.png");
    return 0;
}

}  // namespace korvane
