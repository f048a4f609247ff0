// The listening page of a decomposition: one self-contained index.html with
// the spectrogram, a lane per component, a player that mixes the components
// (each embedded as Ogg Opus) and the remix command for the chosen mix.
#pragma once

#include <string>
#include <vector>

namespace korvane {

struct SoundData;

struct PageComponent {
    int number = 0;                         // as the files and the JSON count, from 1
    std::vector<double> basis;              // w, one value per bin, >= 0
    std::vector<std::vector<double>> span;  // a convolutive basis's spectra, each one value per bin; else empty
    std::vector<double> activation;         // one value per frame, >= 0
    double centroidHz = 0;                  // may be NaN when the basis is all zero
    double peakHz = 0;
    std::vector<float> samples;  // interleaved, PageData::channels per frame
    std::string encoded;         // or the same already encoded (encodePageAudio)
    std::string given;           // "FILE, component N" when its basis was given; empty when learned here
};

struct PageData {
    std::string title;  // shown on the page
    std::string dir;    // the run's folder, named in the remix command
    int sampleRate = 0;
    int channels = 0;  // of the components
    long frames = 0;   // sample frames of the sound and of every component
    int fftSize = 0;
    int hop = 0;
    int bins = 0;                     // fftSize / 2 + 1
    int frameCount = 0;               // analysis frames
    double firstFrameSec = 0;         // time of the centre of frame 0; frame t is t * hop later
    std::vector<double> binHz;        // bins
    std::vector<double> spectrogram;  // the input's magnitudes, bins x frameCount, row-major
    // or, when spectrogram is empty, planes of them one after another to be
    // summed (a run's magnitudes, held by the caller)
    const float *magnitudePlanes = nullptr;
    int planeCount = 0;
    std::vector<float> original;  // the input, interleaved; may be empty when originalEncoded is not
    int originalChannels = 0;
    std::string originalEncoded;  // or empty: the same already encoded (encodePageAudio)
    std::vector<PageComponent> components;
};

// Opus bitrate, in bits per second a channel, for a page carrying `streams`
// sounds of `seconds` each: lower as the page grows, so that a minute of
// stereo with ten components stays near 11 MB.
int pageAudioBitrate(int streams, double seconds);

// Silence after each embedded sound: the browser resamples Opus's 48 kHz to
// the sound's rate and may drop a few frames at the end, so the page decodes
// a little more than the sound and keeps exactly its frames.
constexpr long kPagePadFrames = 8192;

// frames x channels interleaved samples, then kPagePadFrames of silence, as
// Ogg Opus in memory; false and err on failure.
bool encodePageAudio(const float *interleaved, long frames, int channels, int sampleRate, int bitrate, std::string &out,
                     std::string &err);

// Writes the page; false and err on failure.
bool writePage(const std::string &path, const PageData &data, std::string &err);

// A page from what a decompose run has: the input, the bases w (K x bins),
// activations (K x frames), centroids, the input's magnitudes (planes of
// bins x frames, summed; held by the caller until the page is written), the
// input's and each component's encoded sound; components with no sound (not
// written in this run) are left out.
PageData pageFromRun(const std::string &title, const std::string &dir, const SoundData &sound, int fftSize, int hop,
                     const std::vector<std::vector<double>> &w, const std::vector<std::vector<double>> &acts,
                     const std::vector<double> &centroidHz, const float *magnitudePlanes, int planeCount,
                     std::string encodedInput, std::vector<std::string> encoded);

// Standard base64 with padding.
std::string base64(const std::string &bytes);

}  // namespace korvane
