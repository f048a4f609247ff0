// The picture of a decomposition: the input's spectrogram, each component's
// basis (a small frequency curve) and activation (a lane over time).
#pragma once

#include <string>
#include <vector>

namespace korvane {

struct PlotData {
    std::string title;
    double sampleRate = 44100.0;
    double duration = 0.0;  // seconds of sound
    int fftSize = 0;
    int hop = 0;
    int bins = 0;  // fftSize / 2 + 1
    int frames = 0;
    std::vector<double> spectrogram;                          // magnitudes, bins x frames row-major; may be empty
    std::vector<std::vector<double>> bases;                   // K x bins, w >= 0
    std::vector<std::vector<double>> activations;             // K x frames, in [0, 1]
    std::vector<double> centroidsHz;                          // K
    std::vector<std::vector<std::vector<double>>> spanBases;  // convolutive: K x span x bins; else empty
    int given = 0;                                            // the first `given` components' bases were given
    std::string order = "centroid";                           // how the others are numbered: or peak, energy, onset
};

// Writes a PNG; false and err on failure.
bool writePlot(const std::string &path, const PlotData &data, std::string &err);

}  // namespace korvane
