#include "files/pcm_words.hpp"

#include <sndfile.h>

namespace korvane {

int pcmBits(SampleFormat f) {
    switch (f) {
    case SampleFormat::Pcm16:
    case SampleFormat::Flac16:
        return 16;
    case SampleFormat::Pcm24:
    case SampleFormat::Flac24:
        return 24;
    case SampleFormat::Float:
        break;
    }
    return 0;
}

long writePcmFrames(SNDFILE *f, SampleFormat format, const float *interleaved, long frames, int channels,
                    std::vector<std::int32_t> &scratch) {
    const int bits = pcmBits(format);
    if (bits == 0) return static_cast<long>(sf_writef_float(f, interleaved, frames));
    const size_t n = static_cast<size_t>(frames) * static_cast<size_t>(channels);
    scratch.resize(n);
    for (size_t i = 0; i < n; ++i) scratch[i] = pcmWord(interleaved[i], bits);
    return static_cast<long>(sf_writef_int(f, scratch.data(), frames));
}

}  // namespace korvane
