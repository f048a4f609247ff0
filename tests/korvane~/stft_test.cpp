// STFT stage: sizes derived from the settings, limits and refusals, and the
// spectrogram itself against a DFT by definition.
#include "fixture.hpp"

#include <limits>
#include <optional>

using kvtest::Korvane;

namespace {

using StftFn = int (*)(t_korvane *);

class Stft : public Korvane {
protected:
    t_korvane *x = nullptr;
    void SetUp() override {
        Korvane::SetUp();
        x = make();
    }
    // loads n samples of a quiet tone and runs the stage
    int run(int n, double rate, int channels = 1) {
        std::vector<std::vector<double>> ch(channels, kvtest::tone(n, rate, {440}, {0.5}, 1, 0.1));
        load(x, "s", ch, rate);
        clear();
        return stage<StftFn>("kv_computeSTFT")(x);
    }

    // One refused analysis: the settings sent first (none when not given),
    // the sound, and the console lines after the sizes line; the sizes line
    // itself is checked when given.
    struct Refusal {
        const char *what;
        std::optional<double> win, hop;
        int n;
        double rate;
        std::string sizes;
        std::vector<std::string> lines;
    };
    void expectRefused(const Refusal &c) {
        SCOPED_TRACE(c.what);
        if (c.win) sendFloat(x, "setWin", *c.win);
        if (c.hop) sendFloat(x, "setHop", *c.hop);
        ASSERT_EQ(run(c.n, c.rate), -1);
        std::vector<std::string> t = texts();
        ASSERT_FALSE(t.empty());
        if (!c.sizes.empty()) {
            EXPECT_EQ(t[0], c.sizes);
        }
        EXPECT_EQ(std::vector<std::string>(t.begin() + 1, t.end()), c.lines);
    }
};

const std::vector<std::string> kTooManyFrames = {
    "!Error: activations will exceed maximum length. Try one of the following:",
    "!Reduce file length, increase window length, increase hop."};
const std::vector<std::string> kTooManyBins = {
    "!Error: bases will exceed maximum length. Try one of the following:",
    "!Reduce window length, reduce sampling rate."};
const std::vector<std::string> kWindowTooShort = {
    "!Error: window will be shorter than 2 samples. Try one of the following:",
    "!Increase window length, check the sampling rate of the buffer."};
const std::vector<std::string> kHopTooShort = {
    "!Error: hop will be shorter than 1 sample. Try one of the following:",
    "!Increase hop, increase window length."};
const std::vector<std::string> kSoundTooShort = {
    "!Error: sound is too short for this window. Try one of the following:",
    "!Load a longer sound, reduce window length."};

TEST_F(Stft, WorkedExample) {
    ASSERT_EQ(run(441000, 44100), 0);
    EXPECT_EQ(texts(), (std::vector<std::string>{
                           "winlength = 0.080000, FFTsize = 4096, hop = 1024, frames = 426",
                           "STFT computed"}));
    EXPECT_EQ(x->eng.fftSize, 4096);
    EXPECT_EQ(x->eng.hopSize, 1024);
    EXPECT_EQ(x->eng.numBins, 2049);
    EXPECT_EQ(x->eng.numFrames, 426);
    EXPECT_TRUE(x->eng.stftValid);
    EXPECT_NE(x->eng.stftReL, nullptr);
    EXPECT_EQ(x->eng.stftReR, nullptr);  // mono: channel 0 only
}

TEST_F(Stft, SizesFollowTheRate) {
    ASSERT_EQ(run(20000, 48000), 0);
    EXPECT_EQ(x->eng.fftSize, 4096);
    EXPECT_EQ(x->eng.hopSize, 1024);
    ASSERT_EQ(run(20000, 96000), 0);
    EXPECT_EQ(x->eng.fftSize, 8192);
    EXPECT_EQ(x->eng.hopSize, 2048);
    EXPECT_EQ(x->eng.numBins, 4097);
    EXPECT_EQ(x->eng.numFrames, 20000 / 2048 - 4);
    // a window that is a power of two already keeps its length
    sendFloat(x, "setWin", 4096.0 / 44100.0);
    ASSERT_EQ(run(20000, 44100), 0);
    EXPECT_EQ(x->eng.fftSize, 4096);
}

TEST_F(Stft, HopFractionsInSinglePrecision) {
    sendFloat(x, "setHop", 0.6);
    ASSERT_EQ(run(441000, 44100), 0);
    EXPECT_EQ(texts()[0], "winlength = 0.080000, FFTsize = 4096, hop = 2458, frames = 177");
    // 1 - 0.6f is just below 0.4: 1 / it rounds to 3, the hop to 1638
    sendFloat(x, "setHop", 0.4);
    ASSERT_EQ(run(441000, 44100), 0);
    EXPECT_EQ(x->eng.hopSize, 1638);
    EXPECT_EQ(x->eng.numFrames, 441000 / 1638 - 3);
}

// The frame limit is tested before the bin limit; a refusal keeps the
// analysis that was there.
TEST_F(Stft, LimitsRefuseAndKeepTheEarlierAnalysis) {
    sendFloat(x, "setWin", 0.001);  // 44 samples: FFT 64, hop 16
    ASSERT_EQ(run(160064, 44100), 0);
    EXPECT_EQ(x->eng.numFrames, 10000);  // the largest accepted
    double *re = x->eng.stftReL;
    const void *setup = x->eng.fftSetup;

    const Refusal cases[] = {
        {"one frame too many", 0.001, std::nullopt, 160080, 44100,
         "winlength = 0.001000, FFTsize = 64, hop = 16, frames = 10001", kTooManyFrames},
        // 22050 samples: FFT 32768, 16385 bins
        {"too many bins", 0.5, std::nullopt, 441000, 44100,
         "winlength = 0.500000, FFTsize = 32768, hop = 8192, frames = 49", kTooManyBins},
        // both limits broken: only the activations are reported
        {"both limits", 0.5, 0.0005, 441000, 44100, "", kTooManyFrames},
    };
    for (const Refusal &c : cases) {
        expectRefused(c);
        EXPECT_FALSE(x->eng.stftValid) << c.what;
        EXPECT_EQ(x->eng.stftReL, re) << c.what;
        EXPECT_EQ(x->eng.fftSetup, setup) << c.what;
        EXPECT_EQ(x->eng.numFrames, 10000) << c.what;
        EXPECT_EQ(x->eng.fftSize, 64) << c.what;
        EXPECT_EQ(x->eng.numBins, 33) << c.what;
        EXPECT_EQ(x->eng.hopSize, 16) << c.what;
    }
}

TEST_F(Stft, WindowsShorterThanTwoSamplesAreRefused) {
    ASSERT_EQ(run(5000, 8000), 0);
    const void *setup = x->eng.fftSetup;
    int fft = x->eng.fftSize;

    const Refusal cases[] = {
        {"0.01 ms", 0.00001, std::nullopt, 5000, 8000,
         "winlength = 0.000010, FFTsize = 0, hop = 0, frames = 0", kWindowTooShort},
        {"one sample", 1.0 / 8000.0, std::nullopt, 5000, 8000, "", kWindowTooShort},
        {"negative", -0.08, std::nullopt, 5000, 8000, "", kWindowTooShort},
        {"infinite", std::numeric_limits<double>::infinity(), std::nullopt, 5000, 8000, "",
         kWindowTooShort},
        {"not a number", std::numeric_limits<double>::quiet_NaN(), std::nullopt, 5000, 8000, "",
         kWindowTooShort},
    };
    for (const Refusal &c : cases) expectRefused(c);

    // a rate of 0 makes every window shorter than two samples
    sendFloat(x, "setWin", 0.08);
    load(x, "norate", {kvtest::tone(5000, 8000, {440}, {0.5}, 1, 0.1)}, 0.0);
    EXPECT_EQ(x->eng.sr, 0.0);
    clear();
    ASSERT_EQ(stage<StftFn>("kv_computeSTFT")(x), -1);
    std::vector<std::string> t = texts();
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(std::vector<std::string>(t.begin() + 1, t.end()), kWindowTooShort);

    EXPECT_EQ(x->eng.fftSetup, setup);
    EXPECT_EQ(x->eng.fftSize, fft);
}

TEST_F(Stft, HopsShorterThanOneSampleAreRefused) {
    const Refusal cases[] = {
        {"0.01 %", std::nullopt, 0.0001, 50000, 44100, "", kHopTooShort},
        {"zero", std::nullopt, 0.0, 50000, 44100, "", kHopTooShort},
        {"negative", std::nullopt, -0.25, 50000, 44100, "", kHopTooShort},
    };
    for (const Refusal &c : cases) expectRefused(c);
}

TEST_F(Stft, SoundsShorterThanTheWindowAreRefused) {
    const Refusal cases[] = {
        {"empty", std::nullopt, std::nullopt, 0, 44100, "", kSoundTooShort},
        {"1000 samples", std::nullopt, std::nullopt, 1000, 44100, "", kSoundTooShort},
        // 5 hops make the first frame
        {"one sample short", std::nullopt, std::nullopt, 5 * 1024 - 1, 44100, "", kSoundTooShort},
    };
    for (const Refusal &c : cases) expectRefused(c);
    EXPECT_EQ(x->eng.stftReL, nullptr);
    EXPECT_EQ(x->eng.numFrames, 0);
}

// Tiny hop fractions would make frames that end past the sound.
TEST_F(Stft, NoFrameEndsPastTheSound) {
    sendFloat(x, "setHop", 0.005);
    ASSERT_EQ(run(44100, 44100), 0);
    EXPECT_EQ(texts()[0], "winlength = 0.080000, FFTsize = 4096, hop = 20, frames = 2001");
    EXPECT_LE((x->eng.numFrames - 1) * x->eng.hopSize + x->eng.fftSize, x->eng.numSamples);
}

TEST_F(Stft, SpectrogramMatchesTheDefinition) {
    sendFloat(x, "setWin", 0.008);  // 64 samples at 8000 Hz, hop 16
    std::vector<double> l = kvtest::tone(600, 8000, {500, 1750}, {0.7, 0.2}, 3, 0.2);
    std::vector<double> r = kvtest::tone(600, 8000, {1000}, {0.4}, 4, 0.3);
    load(x, "st", {l, r}, 8000);
    for (double &v : l) v = static_cast<float>(v);  // as the buffer~ holds them
    for (double &v : r) v = static_cast<float>(v);
    clear();
    ASSERT_EQ(stage<StftFn>("kv_computeSTFT")(x), 0);
    ASSERT_EQ(x->eng.numBins, 33);
    ASSERT_EQ(x->eng.numFrames, 600 / 16 - 4);
    int frames = static_cast<int>(x->eng.numFrames);
    std::vector<double> re, im;
    // FFT and the sum by definition differ by rounding: tens of ulps of
    // values that stay below 64
    const double tol = 1e-11;
    kvtest::naiveSTFT(l, 64, frames, 16, re, im);
    for (size_t i = 0; i < re.size(); ++i) {
        ASSERT_NEAR(x->eng.stftReL[i], re[i], tol) << i;
        ASSERT_NEAR(x->eng.stftImL[i], im[i], tol) << i;
    }
    kvtest::naiveSTFT(r, 64, frames, 16, re, im);
    ASSERT_NE(x->eng.stftReR, nullptr);
    for (size_t i = 0; i < re.size(); ++i) {
        ASSERT_NEAR(x->eng.stftReR[i], re[i], tol) << i;
        ASSERT_NEAR(x->eng.stftImR[i], im[i], tol) << i;
    }
}

TEST_F(Stft, OutOfMemoryKeepsTheEarlierAnalysis) {
    ASSERT_EQ(run(5000, 8000), 0);
    double *re = x->eng.stftReL;
    for (long n = 0; n < 4; ++n) {
        sendFloat(x, "setWin", 0.016);
        std::vector<std::vector<double>> ch(2, kvtest::tone(5000, 8000, {440}, {0.5}, 1, 0.1));
        load(x, "st", ch, 8000);
        clear();
        failAllocsAfter(n);
        EXPECT_EQ(stage<StftFn>("kv_computeSTFT")(x), -1) << n;
        failAllocsAfter(-1);
        EXPECT_EQ(texts().back(), "!Error: out of memory.") << n;
        EXPECT_EQ(x->eng.stftReL, re);
        EXPECT_EQ(x->eng.stftReR, nullptr);
        EXPECT_FALSE(x->eng.stftValid);
    }
}

}  // namespace
