// Integer outputs: every sample is the nearest step of the resynthesis, so
// K component files sum to the input within K/2 steps and without offset.
#include "files/pcm_words.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

using kvtest::Result;
using kvtest::runTool;

namespace {

// A file's samples as whole steps at `bits` bits.
std::vector<long> steps(const std::string &path, int bits) {
    std::vector<long> out;
    for (int x : kvtest::readSamples<int>(path).samples) out.push_back(x >> (32 - bits));
    return out;
}

struct Offset {
    double mean = 0;
    long worst = 0;
};

// The sum of the component files against the input, in steps.
Offset sumAgainstInput(const kvtest::Scratch &dir, const std::string &input, int K, int bits) {
    std::vector<long> in = steps(dir / input, bits), sum(in.size(), 0);
    char name[32];
    for (int k = 1; k <= K; ++k) {
        std::snprintf(name, sizeof name, "out/in-c%02d.wav", k);
        std::vector<long> c = steps(dir / name, bits);
        EXPECT_EQ(c.size(), in.size()) << name;
        for (size_t i = 0; i < c.size() && i < sum.size(); ++i) sum[i] += c[i];
    }
    Offset o;
    for (size_t i = 0; i < in.size(); ++i) {
        long d = sum[i] - in[i];
        o.mean += static_cast<double>(d) / static_cast<double>(in.size());
        o.worst = std::max(o.worst, std::labs(d));
    }
    return o;
}

}  // namespace

// Steps by the closed form: x * 2^(bits-1) to the nearest whole number,
// held at the extremes; left-justified as libsndfile's ints.
TEST(PcmRounding, SamplesGoToTheNearestStepHeldAtFullScale) {
    const double step16 = 1.0 / 32768, step24 = 1.0 / 8388608;
    EXPECT_EQ(korvane::pcmWord(0.49 * step16, 16), 0);
    EXPECT_EQ(korvane::pcmWord(0.51 * step16, 16), 1 << 16);
    EXPECT_EQ(korvane::pcmWord(-0.49 * step16, 16), 0);  // no downward bias
    EXPECT_EQ(korvane::pcmWord(-0.51 * step16, 16), -(1 << 16));
    EXPECT_EQ(korvane::pcmWord(1000.4 * step24, 24), 1000 << 8);
    EXPECT_EQ(korvane::pcmWord(-1000.6 * step24, 24), -1001 * 256);
    EXPECT_EQ(korvane::pcmWord(1.0, 16), 32767 << 16);
    EXPECT_EQ(korvane::pcmWord(-1.0, 16), INT32_MIN);
    EXPECT_EQ(korvane::pcmWord(5.0, 24), 8388607 << 8);
    EXPECT_EQ(korvane::pcmWord(-5.0, 24), INT32_MIN);
    EXPECT_EQ(korvane::pcmWord(std::nan(""), 16), 0);
    EXPECT_EQ(korvane::pcmWord(-INFINITY, 24), INT32_MIN);
    // halves go to the even step, as nearbyint rounds them
    for (int bits : {16, 24})
        for (double k = -70000.5; k < 70000; k += 0.25) {
            const double x = k / std::ldexp(1.0, bits - 1);
            const double full = std::ldexp(1.0, bits - 1);
            const double want = std::min(full - 1, std::max(-full, std::nearbyint(k)));
            ASSERT_EQ(korvane::pcmWord(x, bits),
                      static_cast<std::int32_t>(want) * (1 << (32 - bits)))
                << k;
        }
}

// Eight 16-bit and eight 24-bit components of a sound in the same format:
// each file is within half a step of its exact component, so the sum is
// within K/2 = 4 steps of the input, and the errors average out (a -1/2
// step bias in each file would put the mean near -4).
TEST(PcmRounding, EightComponentsSumToTheInputWithoutOffset) {
    const int K = 8;
    for (int bits : {16, 24}) {
        SCOPED_TRACE(bits);
        kvtest::Scratch dir;
        kvtest::Sound s = kvtest::makeSound(2, 22050, 1.0, 0.5);
        const int sub = bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24;
        ASSERT_TRUE(kvtest::writeSound(dir / "in.wav", s, SF_FORMAT_WAV | sub));
        Result r = runTool({"decompose", "in.wav", "-k", "8", "--seed", "2", "-q", "-o", "out"},
                           dir.path());
        ASSERT_EQ(r.exitCode, 0) << r.err;
        Offset o = sumAgainstInput(dir, "in.wav", K, bits);
        // the mean of 44100 independent roundings: spread well under 0.05 step
        EXPECT_LT(std::fabs(o.mean), 0.1);
        EXPECT_LE(o.worst, K / 2);
    }
}

// The block conversions give, sample for sample, what pcmWord gives, in the
// files' interleaved order, for the one- and two-channel loops and the
// general one; the peak is the largest |x gain|, and a block holding a
// sample that is not finite is refused with the peak untouched.
TEST(PcmRounding, BlocksInterleaveAsEachSampleRoundsAndKeepThePeak) {
    const long count = 37;  // not a multiple of any vector's width
    // a gain of 1 takes the float samples' own path
    for (double gain : {0.8, 1.0})
        for (int channels : {1, 2, 3}) {
            std::vector<std::vector<double>> x(static_cast<size_t>(channels),
                                               std::vector<double>(count));
            std::vector<const double *> ch;
            double want = 0.25;  // an earlier block's peak
            for (int c = 0; c < channels; ++c) {
                for (long i = 0; i < count; ++i)
                    x[c][i] = std::sin(0.7 * i + c) * (i % 5 == 0 ? 1.6 : 0.9) +
                              (i == 3 ? 0.5 / 32768 : 0.0);
                for (double v : x[c]) want = std::max(want, std::fabs(v * gain));
                ch.push_back(x[c].data());
            }
            const size_t n = static_cast<size_t>(count * channels);
            std::vector<float> f(n);
            std::vector<short> s(n);
            std::vector<std::int32_t> w(n);
            double pf = 0.25, ps = 0.25, pw = 0.25;
            ASSERT_TRUE(korvane::interleaveFloats(ch.data(), channels, count, gain, f.data(), pf));
            ASSERT_TRUE(korvane::interleaveShorts(ch.data(), channels, count, gain, s.data(), ps));
            ASSERT_TRUE(
                korvane::interleaveWords(ch.data(), channels, count, gain, 24, w.data(), pw));
            for (long i = 0; i < count; ++i)
                for (int c = 0; c < channels; ++c) {
                    const size_t at = static_cast<size_t>(i * channels + c);
                    const double v = x[c][i] * gain;
                    EXPECT_EQ(f[at], static_cast<float>(v)) << channels << " " << i;
                    EXPECT_EQ(s[at], korvane::pcmWord(v, 16) >> 16) << channels << " " << i;
                    EXPECT_EQ(w[at], korvane::pcmWord(v, 24)) << channels << " " << i;
                }
            EXPECT_EQ(pf, want);
            EXPECT_EQ(ps, want);
            EXPECT_EQ(pw, want);

            // from floats: as from the same values held in doubles
            std::vector<std::vector<float>> xf(x.size());
            std::vector<std::vector<double>> xd(x.size());
            std::vector<const float *> chf;
            std::vector<const double *> chd;
            for (size_t c = 0; c < x.size(); ++c) {
                xf[c].assign(x[c].begin(), x[c].end());
                xd[c].assign(xf[c].begin(), xf[c].end());
                chf.push_back(xf[c].data());
                chd.push_back(xd[c].data());
            }
            std::vector<float> f2(n), f3(n);
            std::vector<short> s2(n), s3(n);
            std::vector<std::int32_t> w2(n), w3(n);
            double q[6] = {0, 0, 0, 0, 0, 0};
            ASSERT_TRUE(
                korvane::interleaveFloats(chf.data(), channels, count, gain, f2.data(), q[0]));
            ASSERT_TRUE(
                korvane::interleaveShorts(chf.data(), channels, count, gain, s2.data(), q[1]));
            ASSERT_TRUE(
                korvane::interleaveWords(chf.data(), channels, count, gain, 24, w2.data(), q[2]));
            ASSERT_TRUE(
                korvane::interleaveFloats(chd.data(), channels, count, gain, f3.data(), q[3]));
            ASSERT_TRUE(
                korvane::interleaveShorts(chd.data(), channels, count, gain, s3.data(), q[4]));
            ASSERT_TRUE(
                korvane::interleaveWords(chd.data(), channels, count, gain, 24, w3.data(), q[5]));
            EXPECT_EQ(f2, f3);
            EXPECT_EQ(s2, s3);
            EXPECT_EQ(w2, w3);
            EXPECT_EQ(q[0], q[3]);
            EXPECT_EQ(q[1], q[4]);
            EXPECT_EQ(q[2], q[5]);
            xf[0][5] = NAN;
            EXPECT_FALSE(
                korvane::interleaveShorts(chf.data(), channels, count, gain, s2.data(), q[1]));

            for (double bad : {NAN, -INFINITY}) {
                x[channels - 1][count - 2] = bad;
                double p = 0.25;
                EXPECT_FALSE(
                    korvane::interleaveShorts(ch.data(), channels, count, gain, s.data(), p));
                EXPECT_FALSE(
                    korvane::interleaveFloats(ch.data(), channels, count, gain, f.data(), p));
                EXPECT_FALSE(
                    korvane::interleaveWords(ch.data(), channels, count, gain, 24, w.data(), p));
                EXPECT_EQ(p, 0.25);
            }
        }
}
