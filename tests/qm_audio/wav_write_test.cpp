// Writing 16-bit WAV files whole and in segments.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "qm_audio.h"
#include "scratch.hpp"
#include "sound_files.hpp"
#include "url.hpp"

using namespace kvtest;

namespace {

struct Written {
    int status;
    std::string out;
};

Written captured(const std::function<int()> &call) {
    testing::internal::CaptureStdout();
    int status = call();
    fflush(stdout);
    return {status, testing::internal::GetCapturedStdout()};
}

Written whole(const std::string &path, std::vector<double> &l, std::vector<double> &r, int n,
              AudioStreamBasicDescription fmt) {
    return captured([&] { return qm_wavwriteOSX(path.c_str(), l.data(), r.data(), n, fmt); });
}

Written segment(const std::string &path, std::vector<double> &l, std::vector<double> &r, int n,
                AudioStreamBasicDescription fmt, float dur, int first) {
    return captured(
        [&] { return qm_wavwriteOSX_Seek(path.c_str(), l.data(), r.data(), n, fmt, dur, first); });
}

// Both writers, each writing a whole mono or stereo sound as a new file.
using Writer = std::function<Written(const std::string &, std::vector<double> &,
                                     std::vector<double> &, int, AudioStreamBasicDescription)>;
const std::vector<std::pair<const char *, Writer>> kWriters = {
    {"whole", whole},
    {"segment", [](const std::string &p, std::vector<double> &l, std::vector<double> &r, int n,
                   AudioStreamBasicDescription f) { return segment(p, l, r, n, f, 0.0f, 1); }},
};

const double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(WavWrite, ScalesOnlyFromAPeakOfOneAndTruncates) {
    struct Case {
        std::vector<double> in;
        std::vector<short> samples;  // v x 32768 worked out by hand, truncated toward zero
        std::vector<double> after;
    } cases[] = {
        {{0.5, -0.25}, {16384, -8192}, {0.5, -0.25}},
        {{2.0, -1.0}, {32735, -16367}, {0.999, -0.4995}},
        {{1.0, -1.0}, {32735, -32735}, {0.999, -0.999}},
        {{0.9999}, {32764}, {0.9999}},
        {{0.00002, -0.00002, 0.7, -0.7}, {0, 0, 22937, -22937}, {0.00002, -0.00002, 0.7, -0.7}},
    };
    Scratch dir;
    for (auto &[name, write] : kWriters) {
        for (auto &c : cases) {
            std::vector<double> l = c.in, r;
            std::string path = dir.path(std::string(name) + ".wav");
            Written w = write(path, l, r, static_cast<int>(l.size()), pcm16(8000, 1));
            ASSERT_EQ(w.status, 0) << w.out;
            EXPECT_EQ(w.out, "");
            SoundContents got = readShorts(path);
            EXPECT_EQ(got.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
            EXPECT_EQ(got.info.samplerate, 8000);
            EXPECT_EQ(got.samples, c.samples) << name << " " << c.in[0];
            for (size_t i = 0; i < l.size(); i++)
                EXPECT_DOUBLE_EQ(l[i], c.after[i]) << name << ": divide then multiply, a few ulps";
        }
    }
}

TEST(WavWrite, NotANumberIsSilence) {
    Scratch dir;
    for (auto &[name, write] : kWriters) {
        std::vector<double> l = {kNaN, 0.5, -kNaN}, r;
        Written w = write(dir.path("nan.wav"), l, r, 3, pcm16(8000, 1));
        ASSERT_EQ(w.status, 0) << name;
        EXPECT_EQ(readShorts(dir.path("nan.wav")).samples, (std::vector<short>{0, 16384, 0}))
            << name;
    }
}

TEST(WavWrite, StereoChannelsShareTheLouderPeak) {
    Scratch dir;
    for (auto &[name, write] : kWriters) {
        std::vector<double> l = {0.5, -0.25, 0.1}, r = {3.0, -1.5, 0.3};
        Written w = write(dir.path("st.wav"), l, r, 3, pcm16(44100, 2));
        ASSERT_EQ(w.status, 0) << w.out;
        // v / 3 x 0.999 x 32768, truncated
        EXPECT_EQ(readShorts(dir.path("st.wav")).samples,
                  (std::vector<short>{5455, 32735, -2727, -16367, 1091, 3273}))
            << name;
        const double in[2][3] = {{0.5, -0.25, 0.1}, {3.0, -1.5, 0.3}};
        for (int i = 0; i < 3; i++) {
            EXPECT_DOUBLE_EQ(l[i], in[0][i] / 3.0 * 0.999) << "a few ulps of rounding";
            EXPECT_DOUBLE_EQ(r[i], in[1][i] / 3.0 * 0.999);
        }
    }
}

TEST(WavWrite, ChannelsAfterTheSecondAreSilent) {
    Scratch dir;
    for (auto &[name, write] : kWriters) {
        std::vector<double> l = {0.5, 0.25}, r = {-0.5, -0.25};
        Written w = write(dir.path("q.wav"), l, r, 2, pcm16(8000, 4));
        ASSERT_EQ(w.status, 0) << w.out;
        SoundContents got = readShorts(dir.path("q.wav"));
        EXPECT_EQ(got.info.channels, 4);
        EXPECT_EQ(got.samples, (std::vector<short>{16384, -16384, 0, 0, 8192, -8192, 0, 0}))
            << name;
    }
}

TEST(WavWrite, RefusesBadArgumentsBeforeTouchingTheFile) {
    Scratch dir;
    std::string path = dir.path("keep.wav");
    ASSERT_TRUE(
        writeSound(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, std::vector<short>{1, 2, 3}));
    const std::vector<unsigned char> before = readBytes(path);
    AudioStreamBasicDescription bits24 = pcm16(8000, 1), none = pcm16(8000, 1);
    bits24.mBitsPerChannel = 24;
    bits24.mBytesPerFrame = 3;
    none.mChannelsPerFrame = 0;
    none.mBytesPerFrame = 0;
    struct {
        AudioStreamBasicDescription fmt;
        int frames;
        const char *text;
    } cases[] = {
        {bits24, 2, "Unsupported bit number.\n"},
        {none, 2, "Couldn't create sound file.\n"},
        {pcm16(8000, 1), -1, "Couldn't write to sound file.\n"},
    };
    for (auto &c : cases) {
        for (int first : {-1, 0, 1, 2}) {
            std::vector<double> l = {2.0, 1.0}, r = {2.0, 1.0};
            Written w = first < 0 ? whole(path, l, r, c.frames, c.fmt)
                                  : segment(path, l, r, c.frames, c.fmt, 0.4f, first);
            EXPECT_EQ(w.status, -1);
            EXPECT_EQ(w.out, c.text) << "first " << first;
            EXPECT_EQ(l, (std::vector<double>{2.0, 1.0})) << "not rescaled";
            EXPECT_EQ(readBytes(path), before) << c.text;
        }
    }
}

TEST(WavWrite, WholeWriterReplacesAFile) {
    Scratch dir;
    std::string path = dir.path("r.wav");
    ASSERT_TRUE(
        writeSound(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 8000, std::vector<short>(400, 9)));
    std::vector<double> l = {0.25}, r;
    ASSERT_EQ(whole(path, l, r, 1, pcm16(16000, 1)).status, 0);
    SoundContents got = readShorts(path);
    EXPECT_EQ(got.info.channels, 1);
    EXPECT_EQ(got.info.samplerate, 16000);
    EXPECT_EQ(got.samples, std::vector<short>{8192});

    ASSERT_EQ(whole(path, l, r, 0, pcm16(16000, 1)).status, 0);
    EXPECT_EQ(readShorts(path).info.frames, 0);
}

TEST(WavWrite, CannotCreateInAMissingFolder) {
    Scratch dir;
    std::string path = dir.path("no/such/folder.wav");
    std::vector<double> l = {2.0}, r;
    Written a = whole(path, l, r, 1, pcm16(8000, 1));
    Written b = segment(path, l, r, 1, pcm16(8000, 1), 0.4f, 1);
    for (Written *w : {&a, &b}) {
        EXPECT_EQ(w->status, -1);
        EXPECT_EQ(w->out, "Couldn't create sound file.\n");
    }
    EXPECT_EQ(l[0], 2.0) << "arrays are only rescaled once the file is open";
}

TEST(WavSegmentWrite, WritesSegmentsOneAfterAnother) {
    Scratch dir;
    std::string path = dir.path("seg.wav");
    // 10 Hz and 0.4 s: 4 frames a segment.
    std::vector<double> l1 = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6},
                        r1 = {-0.1, -0.2, -0.3, -0.4, -0.5, -0.6};
    std::vector<double> l2 = {0.25, 0.5, 0.75}, r2 = {0.0, -0.25, -0.75};
    Written a = segment(path, l1, r1, 6, pcm16(10, 2), 0.4f, 1);
    Written b = segment(path, l2, r2, 3, pcm16(10, 2), 0.4f, 0);
    ASSERT_EQ(a.status, 0) << a.out;
    ASSERT_EQ(b.status, 0) << b.out;
    SoundContents got = readShorts(path);
    ASSERT_EQ(got.info.frames, 7);
    std::vector<short> want;
    for (int i = 0; i < 4; i++) {
        want.push_back(static_cast<short>(std::trunc(l1[i] * 32768)));
        want.push_back(static_cast<short>(std::trunc(r1[i] * 32768)));
    }
    for (int i = 0; i < 3; i++) {
        want.push_back(static_cast<short>(std::trunc(l2[i] * 32768)));
        want.push_back(static_cast<short>(std::trunc(r2[i] * 32768)));
    }
    EXPECT_EQ(got.samples, want);
}

TEST(WavSegmentWrite, WholeCallsWriteAtZeroAndMoveThePosition) {
    Scratch dir;
    std::string path = dir.path("z.wav");
    std::vector<double> a = {0.5, 0.5, 0.5, 0.5}, b = {-0.5, -0.25}, none;
    ASSERT_EQ(segment(path, a, none, 4, pcm16(10, 1), 0.0f, 1).status, 0);
    ASSERT_EQ(segment(path, b, none, 2, pcm16(10, 1), 0.4f, 0).status, 0);
    EXPECT_EQ(readShorts(path).samples,
              (std::vector<short>{16384, 16384, 16384, 16384, -16384, -8192}));
    ASSERT_EQ(segment(path, b, none, 2, pcm16(10, 1), -1.0f, 0).status, 0);
    EXPECT_EQ(readShorts(path).samples,
              (std::vector<short>{-16384, -8192, 16384, 16384, -16384, -8192}));
}

TEST(WavSegmentWrite, LaterCallsNeedTheFileAsItWasMade) {
    Scratch dir;
    std::string missing = dir.path("missing.wav");
    std::vector<double> l = {2.0, 0.1}, r = {0.1, 0.1};
    Written w = segment(missing, l, r, 2, pcm16(10, 1), 0.4f, 0);
    EXPECT_EQ(w.status, -1);
    EXPECT_EQ(w.out, "Couldn't read sound file.\n");
    EXPECT_FALSE(exists(missing)) << "opening must not create the file";
    EXPECT_EQ(l[0], 2.0);

    std::string mono = dir.path("mono.wav"), deep = dir.path("deep.wav");
    ASSERT_TRUE(
        writeSound(mono, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 10, std::vector<short>{1, 2}));
    ASSERT_TRUE(writeSound(deep, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, 10,
                           std::vector<int>{1 << 8, 2 << 8}));
    for (auto &[path, fmt] : {std::pair{mono, pcm16(10, 2)}, std::pair{deep, pcm16(10, 1)}}) {
        std::vector<unsigned char> before = readBytes(path);
        Written m = segment(path, l, r, 2, fmt, 0.4f, 0);
        EXPECT_EQ(m.status, -1);
        EXPECT_EQ(m.out, "Couldn't write to sound file.\n");
        EXPECT_EQ(readBytes(path), before);
        EXPECT_EQ(l[0], 2.0);
    }
}

TEST(WavRoundTrip, SixteenBitSamplesComeBackExactly) {
    Scratch dir;
    std::vector<short> st(2 * 5000);
    unsigned seed = 99;
    for (auto &s : st) {
        seed = seed * 1103515245u + 12345u;
        s = static_cast<short>(seed >> 16);
        if (s == -32768) s = -32767;  // -1.0 would be a peak of 1 and be rescaled
    }
    std::vector<double> l, r;
    for (size_t i = 0; i < st.size(); i += 2) {
        l.push_back(st[i] / 32768.0);
        r.push_back(st[i + 1] / 32768.0);
    }
    int before = openDescriptors();
    std::string a = dir.path("a.wav"), b = dir.path("b.wav");
    ASSERT_EQ(whole(a, l, r, 5000, pcm16(44100, 2)).status, 0);
    EXPECT_EQ(readShorts(a).samples, st);

    // What the reader gives back, format included, writes the same file again.
    double *rl = nullptr, *rr = nullptr;
    int n = 0;
    AudioStreamBasicDescription fmt{};
    testing::internal::CaptureStdout();
    ASSERT_EQ(qm_wavreadOSX(a.c_str(), &rl, &rr, &n, &fmt), 0);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(n, 5000);
    EXPECT_EQ(std::vector<double>(rl, rl + n), l);
    EXPECT_EQ(std::vector<double>(rr, rr + n), r);
    EXPECT_EQ(qm_wavwriteOSX_Seek(b.c_str(), rl, rr, n, fmt, 0.0f, 1), 0);
    free(rl);
    free(rr);
    EXPECT_EQ(readBytes(b), readBytes(a));
    EXPECT_EQ(openDescriptors(), before);
}
