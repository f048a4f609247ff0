// Test sounds: the standard test piece, sound files written and read with
// libsndfile, and how far one sound is from another.
#pragma once

#include <sndfile.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvtest {

struct Sound {
    int channels = 1;
    int rate = 22050;
    int format = 0;              // libsndfile major | subtype
    std::vector<float> samples;  // interleaved
    long frames() const { return static_cast<long>(samples.size()) / channels; }
};

// A deterministic test piece of the given length: a low and a high tone
// whose levels swing in turn twice a second; the channels mix them in
// different proportions. Samples stay below peak in magnitude.
Sound makeSound(int channels, int rate, double seconds, double peak);

inline sf_count_t writeFrames(SNDFILE *sf, const std::vector<short> &v, sf_count_t n) {
    return sf_writef_short(sf, v.data(), n);
}
inline sf_count_t writeFrames(SNDFILE *sf, const std::vector<int> &v, sf_count_t n) {
    return sf_writef_int(sf, v.data(), n);
}
inline sf_count_t writeFrames(SNDFILE *sf, const std::vector<float> &v, sf_count_t n) {
    return sf_writef_float(sf, v.data(), n);
}
inline sf_count_t writeFrames(SNDFILE *sf, const std::vector<double> &v, sf_count_t n) {
    return sf_writef_double(sf, v.data(), n);
}

// Writes interleaved samples as a file of the given libsndfile format
// (major | subtype); false when it cannot be made or is written short.
template <typename T>
[[nodiscard]] bool writeSound(const std::string &path, int format, int channels, int rate,
                              const std::vector<T> &samples) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE *sf = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!sf) return false;
    sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
    bool ok = writeFrames(sf, samples, frames) == frames;
    return sf_close(sf) == 0 && ok;
}
[[nodiscard]] inline bool writeSound(const std::string &path, const Sound &s, int format) {
    return writeSound(path, format, s.channels, s.rate, s.samples);
}

// A file's settings and samples as floats; false when it cannot be read whole.
bool readSound(const std::string &path, Sound &s);

// DIR/NAME-cNN.wav for each component number (from 1).
std::vector<std::string> componentPaths(const std::string &dir, const std::string &name,
                                        const std::vector<int> &numbers);
// 1 .. K
std::vector<int> firstNumbers(int K);
// The files' samples added up (over the first one's length), with its
// settings; no samples when one of them cannot be read.
Sound sumOfSounds(const std::vector<std::string> &paths);

inline sf_count_t readFrames(SNDFILE *sf, std::vector<short> &v, sf_count_t n) {
    return sf_readf_short(sf, v.data(), n);
}
inline sf_count_t readFrames(SNDFILE *sf, std::vector<int> &v, sf_count_t n) {
    return sf_readf_int(sf, v.data(), n);
}

// What libsndfile reads back from a file: its settings and its interleaved
// samples as T (short, or int with 24-bit data in the top bits); throws when
// it cannot be read whole.
template <typename T>
struct Samples {
    SF_INFO info{};
    std::vector<T> samples;
};
template <typename T>
Samples<T> readSamples(const std::string &path) {
    Samples<T> c;
    SNDFILE *sf = sf_open(path.c_str(), SFM_READ, &c.info);
    if (!sf) throw std::runtime_error("cannot read " + path);
    c.samples.resize(static_cast<size_t>(c.info.frames * c.info.channels));
    sf_count_t got = readFrames(sf, c.samples, c.info.frames);
    sf_close(sf);
    if (got != c.info.frames) throw std::runtime_error("short read from " + path);
    return c;
}
using SoundContents = Samples<short>;
inline SoundContents readShorts(const std::string &path) {
    return readSamples<short>(path);
}

// Relative RMS difference over every sample; infinity when the sample
// counts differ.
template <typename A, typename B>
double relativeError(const std::vector<A> &got, const std::vector<B> &want) {
    if (got.size() != want.size()) return INFINITY;
    double num = 0, den = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        double d = double(got[i]) - double(want[i]);
        num += d * d;
        den += double(want[i]) * double(want[i]);
    }
    return std::sqrt(num / den);
}
inline double relativeError(const Sound &got, const Sound &want) {
    return relativeError(got.samples, want.samples);
}

// The first 20 bytes of a 16-bit WAV header: RIFF, size, WAVE, "fmt " and
// its size, cut off before the format fields.
inline std::vector<unsigned char> truncatedWavHeader() {
    return {'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0};
}

// Open descriptors of this process, to catch handles left open.
int openDescriptors();

}  // namespace kvtest
