// Reading 16-bit sound files whole and in segments.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qm_audio.h"
#include "scratch.hpp"
#include "sound_files.hpp"

using namespace kvtest;

namespace {

double untouched;  // marks a channel pointer the reader has not set

// One reader call with its printed output; owns the arrays it was given.
struct Read {
    int status = 0;
    double *left = &untouched;
    double *right = &untouched;
    int frames = -99;
    AudioStreamBasicDescription fmt{};
    std::string out;

    Read() = default;
    Read(const Read &) = delete;
    Read &operator=(const Read &) = delete;
    ~Read() {
        if (left != &untouched) free(left);
        if (right != &untouched) free(right);
    }
    std::vector<double> l(int from = 0) const {
        return std::vector<double>(left + from, left + frames);
    }
    std::vector<double> r() const { return std::vector<double>(right, right + frames); }
};

void whole(const std::string &path, Read &r) {
    testing::internal::CaptureStdout();
    r.status = qm_wavreadOSX(path.c_str(), &r.left, &r.right, &r.frames, &r.fmt);
    fflush(stdout);
    r.out = testing::internal::GetCapturedStdout();
}

void segment(const std::string &path, float dur, int reset, double maxLength, Read &r) {
    testing::internal::CaptureStdout();
    r.status = qm_wavreadOSX_Seek(path.c_str(), &r.left, &r.right, &r.frames, &r.fmt, dur, reset,
                                  maxLength);
    fflush(stdout);
    r.out = testing::internal::GetCapturedStdout();
}

// Division by 32768 is exact in double, so scaled samples compare exactly.
std::vector<double> scaled(const std::vector<short> &s, size_t channel, size_t channels,
                           size_t from = 0, size_t count = SIZE_MAX) {
    std::vector<double> v;
    for (size_t i = (from * channels) + channel; i < s.size() && v.size() < count; i += channels)
        v.push_back(s[i] / 32768.0);
    return v;
}

std::vector<short> pseudoRandom(size_t n, unsigned seed) {
    std::vector<short> v(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        v[i] = static_cast<short>(seed >> 16);
    }
    return v;
}

const int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
const char *kPcmMessage = "Error: invalid audio format. Only uncompressed PCM supported.";
const char *kWavMessage = "Error: invalid audio format. Only WAV files supported.";

}  // namespace

TEST(WavRead, WholeStereoAndMonoFiles) {
    Scratch dir;
    std::vector<short> st = pseudoRandom(2 * 44100, 7);
    st[0] = -32768;
    st[3] = 32767;
    ASSERT_TRUE(writeSound(dir.path("st.wav"), kWav16, 2, 44100, st));
    Read r;
    whole(dir.path("st.wav"), r);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.frames, 44100);
    EXPECT_EQ(r.l(), scaled(st, 0, 2));
    EXPECT_EQ(r.r(), scaled(st, 1, 2));
    EXPECT_EQ(r.fmt.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(r.fmt.mSampleRate, 44100.0);
    EXPECT_EQ(r.fmt.mChannelsPerFrame, 2u);
    EXPECT_EQ(r.fmt.mBitsPerChannel, 16u);
    EXPECT_EQ(r.fmt.mBytesPerFrame, 4u);

    // The segment reader with no duration reads the same whole file.
    Read s;
    segment(dir.path("st.wav"), 0.0f, 1, 300.0, s);
    ASSERT_EQ(s.status, 0) << s.out;
    ASSERT_EQ(s.frames, 44100);
    EXPECT_EQ(s.l(), scaled(st, 0, 2));
    EXPECT_EQ(s.r(), scaled(st, 1, 2));

    std::vector<short> mono = pseudoRandom(1000, 11);
    ASSERT_TRUE(writeSound(dir.path("mono.wav"), kWav16, 1, 8000, mono));
    Read m, ms;
    whole(dir.path("mono.wav"), m);
    segment(dir.path("mono.wav"), -1.0f, 1, 300.0, ms);
    for (Read *x : {&m, &ms}) {
        ASSERT_EQ(x->status, 0) << x->out;
        EXPECT_EQ(x->frames, 1000);
        EXPECT_EQ(x->right, nullptr);
        EXPECT_EQ(x->l(), scaled(mono, 0, 1));
    }
}

TEST(WavRead, FourChannelsGiveTheFirstTwo) {
    Scratch dir;
    std::vector<short> quad = pseudoRandom(4 * 300, 3);
    ASSERT_TRUE(writeSound(dir.path("q.wav"), kWav16, 4, 22050, quad));
    Read r, s;
    whole(dir.path("q.wav"), r);
    segment(dir.path("q.wav"), 0.0f, 1, 300.0, s);
    for (Read *x : {&r, &s}) {
        ASSERT_EQ(x->status, 0) << x->out;
        ASSERT_EQ(x->frames, 300);
        EXPECT_EQ(x->fmt.mChannelsPerFrame, 4u);
        EXPECT_EQ(x->l(), scaled(quad, 0, 4));
        EXPECT_EQ(x->r(), scaled(quad, 1, 4));
    }
}

TEST(WavRead, SamplesScaleByTwoToTheFifteen) {
    Scratch dir;
    ASSERT_TRUE(writeSound(dir.path("v.wav"), kWav16, 1, 8000,
                           std::vector<short>{-32768, 0, 16384, 32767, -1}));
    Read r;
    whole(dir.path("v.wav"), r);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.l(), (std::vector<double>{-1.0, 0.0, 0.5, 0.999969482421875, -1.0 / 32768}));
}

TEST(WavRead, SixteenBitAiffIsReadWholeButNotInSegments) {
    Scratch dir;
    std::vector<short> st = pseudoRandom(2 * 500, 5);
    ASSERT_TRUE(writeSound(dir.path("a.aiff"), SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2, 44100, st));
    Read r;
    whole(dir.path("a.aiff"), r);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.l(), scaled(st, 0, 2)) << "big-endian samples must not come out swapped";
    EXPECT_EQ(r.r(), scaled(st, 1, 2));

    Read s;
    segment(dir.path("a.aiff"), 0.0f, 1, 300.0, s);
    EXPECT_EQ(s.status, -3);
    EXPECT_EQ(s.out, kWavMessage);
    EXPECT_EQ(s.left, &untouched);
}

TEST(WavRead, OnlySixteenBitSamplesAreTaken) {
    Scratch dir;
    ASSERT_TRUE(writeSound(dir.path("i24.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 8000,
                           std::vector<int>(20, 1 << 20)));
    ASSERT_TRUE(writeSound(dir.path("f32.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 8000,
                           std::vector<float>(20, 0.25f)));
    for (const char *name : {"i24.wav", "f32.wav"}) {
        Read r, s;
        whole(dir.path(name), r);
        segment(dir.path(name), 0.0f, 1, 300.0, s);
        EXPECT_EQ(r.status, -1) << name;
        EXPECT_EQ(s.status, -3) << name;
        for (Read *x : {&r, &s}) {
            EXPECT_EQ(x->out, "Unsupported bit number.\n") << name;
            EXPECT_EQ(x->left, nullptr) << name;
            EXPECT_EQ(x->right, nullptr) << name;
            EXPECT_EQ(x->frames, 10) << "holds the file's length";
            EXPECT_EQ(x->fmt.mChannelsPerFrame, 2u);
        }
    }
}

TEST(WavRead, CompressedOrCompandedDataIsRefused) {
    Scratch dir;
    std::vector<short> s = pseudoRandom(200, 9);
    ASSERT_TRUE(writeSound(dir.path("c.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 44100, s));
    ASSERT_TRUE(writeSound(dir.path("u.wav"), SF_FORMAT_WAV | SF_FORMAT_ULAW, 1, 44100, s));
    for (const char *name : {"c.flac", "u.wav"}) {
        Read r, g;
        whole(dir.path(name), r);
        segment(dir.path(name), 0.0f, 1, 300.0, g);
        EXPECT_EQ(r.status, -1) << name;
        EXPECT_EQ(g.status, -3) << name;
        EXPECT_EQ(r.out, kPcmMessage);
        EXPECT_EQ(g.out, kPcmMessage);
        EXPECT_EQ(r.left, &untouched);
    }
}

TEST(WavRead, WholeFilesUpToThreeHundredSeconds) {
    Scratch dir;
    // A low rate keeps 300 s small: 100 frames a second.
    ASSERT_TRUE(writeSound(dir.path("300.wav"), kWav16, 1, 100, std::vector<short>(30000, 7)));
    ASSERT_TRUE(writeSound(dir.path("300.5.wav"), kWav16, 1, 100, std::vector<short>(30050, 7)));
    Read ok, longer;
    whole(dir.path("300.wav"), ok);
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_EQ(ok.frames, 30000);
    whole(dir.path("300.5.wav"), longer);
    EXPECT_EQ(longer.status, -1);
    EXPECT_EQ(longer.out, "Error: maximum file length allowed is 300 seconds.\n");
    EXPECT_EQ(longer.left, &untouched);
    EXPECT_EQ(longer.frames, 30050);
}

TEST(WavRead, UnreadableFilesFailCleanly) {
    Scratch dir;
    writeBytes(dir.path("empty.wav"), {});
    writeBytes(dir.path("cut.wav"), truncatedWavHeader());
    int before = openDescriptors();
    for (const char *name : {"missing.wav", "empty.wav", "cut.wav"}) {
        Read r, s;
        whole(dir.path(name), r);
        segment(dir.path(name), 0.4f, 1, 300.0, s);
        for (Read *x : {&r, &s}) {
            EXPECT_EQ(x->status, -1) << name;
            EXPECT_EQ(x->out, "Couldn't open sound file.\n") << name;
            EXPECT_EQ(x->frames, -99) << name;
            EXPECT_EQ(x->left, &untouched) << name;
        }
    }
    EXPECT_FALSE(exists(dir.path("missing.wav")));
    EXPECT_EQ(openDescriptors(), before);
}

// One segment call: its status, and its frames as they should have come from
// the file (starting at `from`).
struct Step {
    int status;
    int frames;
    int from;
};

void walk(const std::string &path, const std::vector<short> &file, int channels, float dur,
          const std::vector<Step> &steps) {
    for (size_t k = 0; k < steps.size(); k++) {
        Read r;
        segment(path, dur, k == 0 ? 1 : 0, 300.0, r);
        SCOPED_TRACE("call " + std::to_string(k + 1));
        EXPECT_EQ(r.status, steps[k].status);
        EXPECT_EQ(r.out, "");
        ASSERT_EQ(r.frames, steps[k].frames);
        EXPECT_EQ(r.l(), scaled(file, 0, channels, steps[k].from, steps[k].frames));
        if (channels > 1) {
            EXPECT_EQ(r.r(), scaled(file, 1, channels, steps[k].from, steps[k].frames));
        }
    }
}

TEST(WavSegments, WalksAFileToItsCutEnd) {
    Scratch dir;
    // At 10 Hz, 0.4 s is 4 frames and 0.5 s is 5.
    std::vector<short> ten = pseudoRandom(2 * 10, 21), nine = pseudoRandom(2 * 9, 22);
    ASSERT_TRUE(writeSound(dir.path("10.wav"), kWav16, 2, 10, ten));
    ASSERT_TRUE(writeSound(dir.path("9.wav"), kWav16, 2, 10, nine));

    walk(dir.path("10.wav"), ten, 2, 0.4f, {{0, 4, 0}, {0, 4, 4}, {-2, 2, 8}});
    walk(dir.path("9.wav"), nine, 2, 0.4f, {{0, 4, 0}, {0, 4, 4}, {-2, 1, 8}});
    // 5 + 5 - 1 = 9 is not past the end, so the second call is not cut though
    // only 4 frames remain; the third starts at the end and gets none.
    walk(dir.path("9.wav"), nine, 2, 0.5f, {{0, 5, 0}, {0, 4, 5}, {-2, 0, 9}});
}

TEST(WavSegments, ASegmentStartingAtTheEndGetsNothing) {
    Scratch dir;
    std::vector<short> three = {100, 200, 300};
    ASSERT_TRUE(writeSound(dir.path("3.wav"), kWav16, 1, 10, three));
    // S = 1: at start 3, 3 + 1 - 1 = 3 is not past the end, so no cut either.
    walk(dir.path("3.wav"), three, 1, 0.1f, {{0, 1, 0}, {0, 1, 1}, {0, 1, 2}, {0, 0, 3}});
}

TEST(WavSegments, WholeFileCallsStartAtZeroAndMoveThePosition) {
    Scratch dir;
    std::vector<short> ten = pseudoRandom(10, 31);
    ASSERT_TRUE(writeSound(dir.path("10.wav"), kWav16, 1, 10, ten));
    std::string p = dir.path("10.wav");
    Read a, b, c, d;
    segment(p, 0.4f, 1, 300.0, a);
    EXPECT_EQ(a.status, 0);
    segment(p, 0.0f, 0, 300.0, b);
    ASSERT_EQ(b.status, 0);
    ASSERT_EQ(b.frames, 10);
    EXPECT_EQ(b.l(), scaled(ten, 0, 1));
    // The position is now 4 + 10 = 14, past the end.
    segment(p, 0.4f, 0, 300.0, c);
    EXPECT_EQ(c.status, -2);
    EXPECT_EQ(c.frames, 0);
    EXPECT_EQ(c.out, "");
    segment(p, 0.4f, 1, 300.0, d);
    ASSERT_EQ(d.frames, 4);
    EXPECT_EQ(d.l(), scaled(ten, 0, 1, 0, 4)) << "reset rewinds";
}

TEST(WavSegments, TheCallersLimitCoversTheWholeFile) {
    Scratch dir;
    ASSERT_TRUE(writeSound(dir.path("3s.wav"), kWav16, 1, 10, std::vector<short>(30, 1)));
    std::string p = dir.path("3s.wav");
    struct {
        double max;
        const char *text;
    } refused[] = {
        {2.7, "Error: maximum file length allowed is 2 seconds.\n"},
        {-5.0, "Error: maximum file length allowed is 0 seconds.\n"},
    };
    for (auto &c : refused) {
        Read r;
        segment(p, 0.4f, 1, c.max, r);
        EXPECT_EQ(r.status, -2);
        EXPECT_EQ(r.out, c.text);
        EXPECT_EQ(r.frames, 30) << "holds the file's length";
        EXPECT_EQ(r.left, &untouched);
    }
    Read ok;
    segment(p, 0.4f, 1, 3.0, ok);
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.frames, 4);
}

TEST(WavSegments, APositionMovesEvenWhenTheBitDepthIsRefused) {
    Scratch dir;
    ASSERT_TRUE(writeSound(dir.path("24.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, 10,
                           std::vector<int>(10, 0)));
    std::vector<short> ten = pseudoRandom(10, 41);
    ASSERT_TRUE(writeSound(dir.path("16.wav"), kWav16, 1, 10, ten));
    Read a, b;
    segment(dir.path("24.wav"), 0.4f, 1, 300.0, a);
    EXPECT_EQ(a.status, -3);
    segment(dir.path("16.wav"), 0.4f, 0, 300.0, b);
    ASSERT_EQ(b.status, 0);
    ASSERT_EQ(b.frames, 4);
    EXPECT_EQ(b.l(), scaled(ten, 0, 1, 4, 4));
}
