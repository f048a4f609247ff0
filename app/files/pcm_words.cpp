#include "files/pcm_words.hpp"

#include <sndfile.h>

#include <cfloat>
#include <cstring>
#include <limits>
#include <type_traits>

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

// Non-negative numbers order as their bits, with NaN and infinities above
// every finite one: the peak is an integer maximum, without a branch.
template <typename R, typename U>
struct Peak {
    U top = 0;
    R operator()(R v) {
        U u;
        std::memcpy(&u, &v, sizeof u);
        u &= ~(U{1} << (8 * sizeof(U) - 1));
        top = u > top ? u : top;
        return v;
    }
    bool joinTo(double &peak) const {
        R most;
        std::memcpy(&most, &top, sizeof most);
        if (!(most <= std::numeric_limits<R>::max())) return false;
        peak = most > peak ? most : peak;
        return true;
    }
};

// samples of S (double or float), each as R times the gain: R double, or
// float for float samples at a gain of 1, where both give the same values
template <typename R, typename U, typename S, typename T, typename To>
inline bool interleave(const S *const *ch, int channels, long count, double gain, T *out, To to, double &peak) {
    Peak<R, U> pk;
    const R g = static_cast<R>(gain);
    if (channels == 1) {
        const S *x = ch[0];
        for (long i = 0; i < count; ++i) out[i] = to(pk(R(x[i]) * g));
    } else if (channels == 2) {
        const S *x = ch[0], *y = ch[1];
        for (long i = 0; i < count; ++i) {
            out[2 * i] = to(pk(R(x[i]) * g));
            out[2 * i + 1] = to(pk(R(y[i]) * g));
        }
    } else {
        for (int c = 0; c < channels; ++c) {
            const S *x = ch[c];
            T *o = out + c;
            for (long i = 0; i < count; ++i) o[i * channels] = to(pk(R(x[i]) * g));
        }
    }
    return pk.joinTo(peak);
}

template <typename S, typename T, typename To>
inline bool interleave(const S *const *ch, int channels, long count, double gain, T *out, To to, double &peak) {
    return interleave<double, std::uint64_t>(ch, channels, count, gain, out, to, peak);
}

// pcmWord(v, 16) >> 16 in float: v x 2^15 is exact, and so is its rounding
// to a whole number below 2^22 (adding and taking away 1.5 x 2^23)
inline short shortOf(float v) {
    float s = v * 32768.0f;
    if (!(s == s)) s = 0;
    s = s < -32768.0f ? -32768.0f : s > 32767.0f ? 32767.0f : s;
    const float shift = 12582912.0f;
    return static_cast<short>(static_cast<std::int32_t>((s + shift) - shift));
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
        if constexpr (std::is_same_v<S, float>)                                                                        \
            if (gain == 1.0)                                                                                           \
                return interleave<float, std::uint32_t>(                                                               \
                    ch, channels, count, gain, out, [](float v) { return shortOf(v); }, peak);                         \
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
