// Integer samples made here rather than by libsndfile, whose clipping
// conversion of floats to WAV integers drops the fraction (a -1/2 step bias
// in every file): each sample is rounded to its nearest step.
#pragma once

#include "files/sample_format.hpp"

#include <cstdint>
#include <vector>

typedef struct sf_private_tag SNDFILE;

namespace korvane {

// Bits of the format's integer samples: 16 or 24; 0 for floats.
int pcmBits(SampleFormat f);

// The nearest step of x at `bits` bits (ties to even), full scale 1.0 =
// 2^(bits-1) steps, held at the extreme steps beyond it (NaN as 0),
// left-justified in 32 bits as libsndfile takes ints. Inline: it runs for
// every sample written.
inline std::int32_t pcmWord(double x, int bits) {
    const double full = static_cast<double>(std::int32_t{1} << (bits - 1));
    double s = x * full;
    if (!(s == s)) s = 0;
    s = s < -full ? -full : s > full - 1 ? full - 1 : s;
    // adding and taking away 1.5 * 2^52 leaves s at its nearest whole number
    const double shift = 6755399441055744.0;
    const std::int32_t v = static_cast<std::int32_t>((s + shift) - shift);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v) << (32 - bits));
}

// count samples of each channel, times gain, interleaved into out: as
// floats, as 16-bit samples, or as pcmWord gives them at `bits`. The largest
// |sample| is joined with peak; false, with peak untouched and out void, when
// one is not a finite number.
bool interleaveFloats(const double *const *ch, int channels, long count, double gain, float *out, double &peak);
bool interleaveShorts(const double *const *ch, int channels, long count, double gain, short *out, double &peak);
bool interleaveWords(const double *const *ch, int channels, long count, double gain, int bits, std::int32_t *out,
                     double &peak);
// the same from single-precision samples
bool interleaveFloats(const float *const *ch, int channels, long count, double gain, float *out, double &peak);
bool interleaveShorts(const float *const *ch, int channels, long count, double gain, short *out, double &peak);
bool interleaveWords(const float *const *ch, int channels, long count, double gain, int bits, std::int32_t *out,
                     double &peak);

// Writes frames of interleaved samples to f, rounded to the format's steps
// for an integer format (as floats for a float one); scratch is reused
// between calls. The count of frames written, as sf_writef_* gives it.
long writePcmFrames(SNDFILE *f, SampleFormat format, const float *interleaved, long frames, int channels,
                    std::vector<std::int32_t> &scratch);

}  // namespace korvane
