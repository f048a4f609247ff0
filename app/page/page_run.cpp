// The page's data gathered from a decompose run.
#include "files/outputs.hpp"
#include "files/sound_reader.hpp"
#include "page/page.hpp"

#include <algorithm>

namespace korvane {

PageData pageFromRun(const std::string &title, const std::string &dir, const SoundData &sound, int fftSize, int hop,
                     const std::vector<std::vector<double>> &w, const std::vector<std::vector<double>> &acts,
                     const std::vector<double> &centroidHz, const float *magnitudePlanes, int planeCount,
                     std::string encodedInput, std::vector<std::string> encoded) {
    PageData d;
    d.title = title;
    d.dir = dir;
    d.sampleRate = sound.sampleRate;
    d.channels = sound.channels > 1 ? 2 : 1;
    d.frames = sound.frames;
    d.fftSize = fftSize;
    d.hop = hop;
    d.bins = fftSize / 2 + 1;
    d.frameCount = acts.empty() ? 0 : static_cast<int>(acts[0].size());
    d.firstFrameSec = fftSize / 2.0 / sound.sampleRate;  // frames start at the first sample
    d.binHz.resize(static_cast<size_t>(d.bins));
    for (int b = 0; b < d.bins; ++b)
        d.binHz[static_cast<size_t>(b)] = b * static_cast<double>(sound.sampleRate) / fftSize;
    d.magnitudePlanes = magnitudePlanes;
    d.planeCount = planeCount;
    // the original as the components are heard: its first two channels
    d.originalChannels = d.channels;
    d.originalEncoded = std::move(encodedInput);
    if (d.originalEncoded.empty()) d.original.resize(static_cast<size_t>(sound.frames) * d.channels);
    for (long i = 0; d.originalEncoded.empty() && i < sound.frames; ++i)
        for (int c = 0; c < d.channels; ++c)
            d.original[static_cast<size_t>(i) * d.channels + c] =
                sound.samples[static_cast<size_t>(i) * sound.channels + c];
    for (size_t k = 0; k < w.size() && k < encoded.size(); ++k) {
        if (encoded[k].empty()) continue;
        PageComponent c;
        c.number = static_cast<int>(k) + 1;
        c.basis = w[k];
        c.activation = acts[k];
        c.centroidHz = centroidHz[k];
        size_t peak = static_cast<size_t>(std::max_element(w[k].begin(), w[k].end()) - w[k].begin());
        c.peakHz = d.binHz.empty() ? 0 : d.binHz[std::min(peak, d.binHz.size() - 1)];
        c.encoded = std::move(encoded[k]);
        d.components.push_back(std::move(c));
    }
    return d;
}

}  // namespace korvane
