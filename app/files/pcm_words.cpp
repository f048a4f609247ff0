#include "files/pcm_words.hpp"

#include <sndfile.h>

#include <cfloat>
#include <cstring>

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

namespace {

// The loops below run for every sample written; this file is built so that
// they vectorise (see CMakeLists.txt), with copies for wider vectors chosen
// when the program loads. One and two channels get loops of their own,
// since a stride known only at run time keeps them scalar.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define KV_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define KV_CLONES
#endif

// Non-negative doubles order as their bits, with NaN and infinities above
// every finite one: the peak is an integer maximum, without a branch.
struct Peak {
    std::uint64_t top = 0;
    double operator()(double v) {
        std::uint64_t u;
        std::memcpy(&u, &v, sizeof u);
        u &= ~(std::uint64_t{1} << 63);
        top = u > top ? u : top;
        return v;
    }
    bool joinTo(double &peak) const {
        double most;
        std::memcpy(&most, &top, sizeof most);
        if (!(most <= DBL_MAX)) return false;
        peak = most > peak ? most : peak;
        return true;
    }
};

// samples of S (double or float), each widened to double before the gain
template <typename S, typename T, typename To>
inline bool interleave(const S *const *ch, int channels, long count, double gain, T *out, To to, double &peak) {
    Peak pk;
    if (channels == 1) {
        const S *x = ch[0];
        for (long i = 0; i < count; ++i) out[i] = to(pk(double(x[i]) * gain));
    } else if (channels == 2) {
        const S *x = ch[0], *y = ch[1];
        for (long i = 0; i < count; ++i) {
            out[2 * i] = to(pk(double(x[i]) * gain));
            out[2 * i + 1] = to(pk(double(y[i]) * gain));
        }
    } else {
        for (int c = 0; c < channels; ++c) {
            const S *x = ch[c];
            T *o = out + c;
            for (long i = 0; i < count; ++i) o[i * channels] = to(pk(double(x[i]) * gain));
        }
    }
    return pk.joinTo(peak);
}

}  // namespace

#define AS_FLOAT [](double v) { return static_cast<float>(v); }
#define AS_SHORT [](double v) { return static_cast<short>(pcmWord(v, 16) >> 16); }
#define AS_WORD24 [](double v) { return pcmWord(v, 24); }
#define KV_INTERLEAVE(S)                                                                                               \
    KV_CLONES bool interleaveFloats(const S *const *ch, int channels, long count, double gain, float *out,             \
                                    double &peak) {                                                                    \
        return interleave(ch, channels, count, gain, out, AS_FLOAT, peak);                                             \
    }                                                                                                                  \
    KV_CLONES bool interleaveShorts(const S *const *ch, int channels, long count, double gain, short *out,             \
                                    double &peak) {                                                                    \
        return interleave(ch, channels, count, gain, out, AS_SHORT, peak);                                             \
    }                                                                                                                  \
    KV_CLONES bool interleaveWords(const S *const *ch, int channels, long count, double gain, int bits,                \
                                   std::int32_t *out, double &peak) {                                                  \
        if (bits == 24) return interleave(ch, channels, count, gain, out, AS_WORD24, peak);                            \
        return interleave(                                                                                             \
            ch, channels, count, gain, out, [bits](double v) { return pcmWord(v, bits); }, peak);                      \
    }

KV_INTERLEAVE(double)
KV_INTERLEAVE(float)

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
