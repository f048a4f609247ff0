// Resynthesis into "<input>_out", checked against a computation by
// definition from the input sound, the lists sent back and W.H.
#include "fixture.hpp"

#include <algorithm>
#include <limits>

using kvtest::Korvane;

namespace {

constexpr int kRate = 8000, kN = 64, kHop = 16, kBins = 33;

class Resynth : public Korvane {
protected:
    t_korvane *x = nullptr;
    std::vector<std::vector<double>> used;  // channels 0 and 1 as the buffer~ holds them
    std::vector<double> expectedMask;       // from the lists sent back

    void SetUp() override {
        Korvane::SetUp();
        x = make();
        sendFloat(x, "setWin", 0.008);  // 64 samples at 8000 Hz: hop 16, 33 bins
    }
    // loads the channels (4 at most), remembers channels 0 and 1 as floats
    void loadSound(const std::string &name, std::vector<std::vector<double>> ch) {
        load(x, name, ch, kRate);
        used.clear();
        for (size_t c = 0; c < std::min<size_t>(2, ch.size()); ++c) {
            for (double &v : ch[c]) v = static_cast<float>(v);
            used.push_back(ch[c]);
        }
    }
    std::vector<double> sound(int n, uint32_t seed, double amp) {
        std::vector<double> s =
            kvtest::tone(n, kRate, {500, 2100, 3300}, {amp, amp / 2, amp / 4}, seed, amp / 5);
        for (int i = n / 2; i < n; ++i) s[i] *= 0.3;  // two parts of different loudness
        return s;
    }
    // decomposes with K components and keeps the lists
    std::vector<kvtest::Out> decompose(long K) {
        sendInt(x, K);
        clear();
        sendSym(x, "decomp");
        EXPECT_EQ(outs.size(), static_cast<size_t>(2 * K));
        expectedMask.assign(static_cast<size_t>(x->eng.numBins * x->eng.numFrames), 0.0);
        return outs;
    }
    // sends a pair back, the activation scaled, and adds it to the expectation
    void layer(const std::vector<double> &act, const std::vector<double> &basis, double scale = 1) {
        std::vector<double> a(act);
        for (double &v : a) v *= scale;
        sendList(x, 1, a);
        sendList(x, 2, basis);
        int frames = static_cast<int>(x->eng.numFrames);
        for (size_t b = 0; b < basis.size(); ++b) {
            double w = std::max(0.0, std::exp(-basis[b]) - 1);
            for (int t = 0; t < frames; ++t)
                expectedMask[b * frames + t] += w * std::max(0.0, t < (int)a.size() ? a[t] : 0.0);
        }
    }
    void bang() { sendBare(x, "bang", 2); }
    // A bang that is refused with one console line keeps the mask and sends
    // nothing.
    void expectRefusedBang(const std::string &line) {
        clear();
        bang();
        EXPECT_EQ(texts(), std::vector<std::string>{line});
        EXPECT_FALSE(x->eng.maskEmpty);
        EXPECT_TRUE(outs.empty());
    }

    // the output by definition: each used channel through mask / (W.H + 0.1),
    // one common factor when the peak reaches 1; returns the peak before it
    double expectOutput(const std::string &outName) {
        int frames = static_cast<int>(x->eng.numFrames), K = x->eng.factK, n = x->eng.numSamples;
        EXPECT_EQ(x->eng.numBins, kBins);
        std::vector<double> model(static_cast<size_t>(kBins) * frames, 0.0);
        for (int b = 0; b < kBins; ++b)
            for (int t = 0; t < frames; ++t)
                for (int k = 0; k < K; ++k)
                    model[static_cast<size_t>(b) * frames + t] +=
                        x->eng.W[static_cast<size_t>(b) * K + k] *
                        x->eng.H[static_cast<size_t>(k) * frames + t];
        std::vector<std::vector<double>> ref;
        double peak = 0;
        for (const auto &ch : used) {
            std::vector<double> re, im;
            kvtest::naiveSTFT(ch, kN, frames, kHop, re, im);
            ref.push_back(kvtest::naiveResynth(re, im, expectedMask, model, kN, frames, kHop, n));
            for (double v : ref.back()) peak = std::max(peak, std::fabs(v));
        }
        if (ref.size() == 1) ref.push_back(ref[0]);  // mono fills both channels
        double g = peak >= 1.0 ? 0.999 / peak : 1.0;

        maxhost::Buffer *out = maxhost::findBuffer(outName);
        EXPECT_NE(out, nullptr);
        if (!out) return peak;
        EXPECT_EQ(out->channels, 2);
        EXPECT_GE(out->frames, n);
        // float output of values below 1 (6e-8), and a spectrum by FFT
        // against one by definition (1e-13)
        const double tol = 2e-7;
        for (int i = 0; i < n; ++i) {
            EXPECT_NEAR(out->samples[2 * i], ref[0][i] * g, tol) << i;
            EXPECT_NEAR(out->samples[2 * i + 1], ref[1][i] * g, tol) << i;
        }
        return peak;
    }
    std::vector<float> outSamples(const std::string &name) {
        maxhost::Buffer *b = maxhost::findBuffer(name);
        return b ? b->samples : std::vector<float>{};
    }
};

// Stereo, end to end: sound in, lists out, two chosen pairs back, sound out.
TEST_F(Resynth, StereoEndToEnd) {
    loadSound("drums", {sound(1000, 1, 0.2), sound(1000, 2, 0.15)});
    maxhost::createBuffer("drums_out", 2, 1000, kRate);
    std::vector<kvtest::Out> lists = decompose(3);
    EXPECT_EQ(x->eng.factK, 3);
    EXPECT_EQ(x->eng.numFrames, 58);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(lists[i].values.size(), 58u);
        EXPECT_EQ(lists[3 + i].values.size(), static_cast<size_t>(kBins));
    }
    // the spectrogram the object keeps is the definition's
    std::vector<double> re, im;
    kvtest::naiveSTFT(used[1], kN, 58, kHop, re, im);
    for (size_t i = 0; i < re.size(); ++i) ASSERT_NEAR(x->eng.stftImR[i], im[i], 1e-11);

    layer(lists[0].values, lists[3].values);
    layer(lists[2].values, lists[5].values);
    clear();
    bang();
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_EQ(outs[0].outlet, 2);
    EXPECT_EQ(outs[0].sel, "bang");
    EXPECT_TRUE(console.empty());
    double peak = expectOutput("drums_out");
    EXPECT_LT(peak, 1.0);  // this one is written unscaled
    // the frames past the last analysis frame stay silent
    std::vector<float> s = outSamples("drums_out");
    for (int i = 57 * kHop + kN; i < 1000; ++i) EXPECT_EQ(s[2 * i], 0.0f);
    EXPECT_TRUE(x->eng.maskEmpty);
    // the mask is not cleared, but the next layer starts it afresh, with
    // zeros past the end of a short activation
    expectedMask.assign(expectedMask.size(), 0.0);
    std::vector<double> shortAct(lists[1].values.begin(), lists[1].values.begin() + 20);
    layer(shortAct, lists[4].values);
    EXPECT_FALSE(x->eng.maskEmpty);
    EXPECT_EQ(std::vector<double>(x->eng.mask, x->eng.mask + kBins * 58), expectedMask);
}

TEST_F(Resynth, LoudResultsAreScaledTogether) {
    loadSound("drums", {sound(1000, 1, 0.4), sound(1000, 2, 0.9)});
    maxhost::createBuffer("drums_out", 2, 1000, kRate);
    std::vector<kvtest::Out> lists = decompose(2);
    layer(lists[0].values, lists[2].values, 40.0);
    layer(lists[1].values, lists[3].values, 40.0);
    bang();
    EXPECT_GE(expectOutput("drums_out"), 1.0);
    std::vector<float> s = outSamples("drums_out");
    float loudest = 0;
    for (float v : s) loudest = std::max(loudest, std::fabs(v));
    EXPECT_NEAR(loudest, 0.999f, 1e-7);
}

TEST_F(Resynth, MonoFillsBothChannels) {
    loadSound("m", {sound(1000, 3, 0.5)});
    maxhost::createBuffer("m_out", 2, 1000, kRate);
    std::vector<kvtest::Out> lists = decompose(2);
    layer(lists[1].values, lists[3].values);
    bang();
    expectOutput("m_out");
    std::vector<float> s = outSamples("m_out");
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(s[2 * i], s[2 * i + 1]);
}

TEST_F(Resynth, FourChannelsUseTheFirstTwo) {
    loadSound("q",
              {sound(1000, 4, 0.5), sound(1000, 5, 0.4), sound(1000, 6, 0.9), sound(1000, 7, 0.9)});
    maxhost::createBuffer("q_out", 2, 1000, kRate);
    std::vector<kvtest::Out> lists = decompose(2);
    layer(lists[0].values, lists[2].values);
    bang();
    expectOutput("q_out");
}

TEST_F(Resynth, BangsThatDoNothing) {
    t_korvane *fresh = make("fresh");
    clear();
    sendBare(fresh, "bang", 0);
    sendBare(fresh, "bang", 1);
    EXPECT_TRUE(console.empty());
    sendBare(fresh, "bang", 2);  // a new object reports what is missing
    EXPECT_EQ(texts(), std::vector<std::string>{"!Resynthesis error: no file was loaded"});

    loadSound("d", {sound(1000, 1, 0.4)});
    maxhost::createBuffer("d_out", 2, 1000, kRate);
    std::vector<kvtest::Out> lists = decompose(2);
    clear();
    bang();  // no layer yet
    layer(lists[0].values, lists[2].values);
    bang();
    bang();  // the composition was consumed
    EXPECT_EQ(outs.size(), 1u);
    EXPECT_TRUE(console.empty());
}

TEST_F(Resynth, ZeroBasisWritesSilence) {
    loadSound("z", {sound(1000, 1, 0.4)});
    maxhost::Buffer *out = maxhost::createBuffer("z_out", 2, 1200, kRate);
    std::fill(out->samples.begin(), out->samples.end(), 0.5f);
    decompose(2);
    layer(std::vector<double>(58, 1.0), std::vector<double>(kBins, 0.0));
    clear();
    bang();
    EXPECT_EQ(outlet(2).size(), 1u);
    std::vector<float> s = outSamples("z_out");
    for (int i = 0; i < 2 * 1000; ++i) ASSERT_EQ(s[i], 0.0f);
    for (int i = 2 * 1000; i < 2 * 1200; ++i) ASSERT_EQ(s[i], 0.5f);  // past the sound
}

// A decomposition belongs to the sound it was made from.
TEST_F(Resynth, NewSoundNeedsANewDecomposition) {
    loadSound("a", {sound(1000, 1, 0.4)});
    maxhost::createBuffer("a_out", 2, 1000, kRate);
    maxhost::createBuffer("b_out", 2, 4000, kRate);
    std::vector<kvtest::Out> lists = decompose(2);
    layer(lists[0].values, lists[2].values);
    std::vector<double> before(x->eng.mask, x->eng.mask + kBins * 58);
    loadSound("b", {sound(4000, 2, 0.4), sound(4000, 3, 0.4)});
    expectRefusedBang("!Resynthesis error: no decomposition of the loaded sound");
    EXPECT_EQ(std::vector<double>(x->eng.mask, x->eng.mask + kBins * 58), before);

    lists = decompose(2);
    layer(lists[1].values, lists[3].values);
    bang();
    expectOutput("b_out");
}

TEST_F(Resynth, MissingOutputBufferKeepsTheMask) {
    loadSound("solo", {sound(1000, 1, 0.4)});
    std::vector<kvtest::Out> lists = decompose(2);
    layer(lists[0].values, lists[2].values);
    expectRefusedBang("!Resynthesis error: cannot write to buffer solo_out");
    // a buffer~ made afterwards is found by the next bang; too small and
    // mono, it is made two channels of the sound's length
    maxhost::createBuffer("solo_out", 1, 10, 44100);
    clear();
    bang();
    EXPECT_TRUE(console.empty());
    EXPECT_EQ(outlet(2).size(), 1u);
    expectOutput("solo_out");
    EXPECT_EQ(maxhost::findBuffer("solo_out")->frames, 1000);
}

// A buffer name is never taken as a format.
TEST_F(Resynth, NamesWithPercentSignsArePrintedAsTheyAre) {
    loadSound("50%s%n", {sound(1000, 1, 0.4)});
    std::vector<kvtest::Out> lists = decompose(2);
    layer(lists[0].values, lists[2].values);
    expectRefusedBang("!Resynthesis error: cannot write to buffer 50%s%n_out");
}

TEST_F(Resynth, LockedOutputBufferIsReported) {
    loadSound("solo", {sound(1000, 1, 0.4)});
    maxhost::createBuffer("solo_out", 2, 1000, kRate);
    std::vector<kvtest::Out> lists = decompose(2);
    layer(lists[0].values, lists[2].values);
    t_buffer_ref *r = buffer_ref_new(nullptr, gensym("solo_out"));
    t_buffer_obj *b = buffer_ref_getobject(r);
    ASSERT_NE(buffer_locksamples(b), nullptr);
    expectRefusedBang("!Resynthesis error: cannot write to buffer solo_out");
    buffer_unlocksamples(b);
    object_free(r);
    bang();
    expectOutput("solo_out");
}

// The output name fits 256 bytes: input names up to 251 characters.
TEST_F(Resynth, OutputNameMustFit) {
    std::string ok(251, 'n'), tooLong(252, 'n');
    loadSound(ok, {sound(1000, 1, 0.4)});
    maxhost::createBuffer(ok + "_out", 2, 1000, kRate);
    std::vector<kvtest::Out> lists = decompose(2);
    layer(lists[0].values, lists[2].values);
    bang();
    EXPECT_EQ(outlet(2).size(), 1u);
    expectOutput(ok + "_out");

    loadSound(tooLong, {sound(1000, 1, 0.4)});
    lists = decompose(2);
    layer(lists[0].values, lists[2].values);
    expectRefusedBang("!Resynthesis error: buffer name too long");
}

TEST_F(Resynth, NonFiniteResultWritesNothing) {
    loadSound("f", {sound(1000, 1, 0.4)});
    maxhost::Buffer *out = maxhost::createBuffer("f_out", 2, 1000, kRate);
    std::fill(out->samples.begin(), out->samples.end(), 0.25f);
    decompose(2);
    // finite lists whose product overflows the mask
    layer(std::vector<double>(58, 1e300), std::vector<double>(kBins, -std::log(1 + 1e300)));
    expectRefusedBang("!Resynthesis error: result is not finite");
    std::vector<float> s = outSamples("f_out");
    EXPECT_TRUE(std::all_of(s.begin(), s.end(), [](float v) { return v == 0.25f; }));
}

// The FFT size is the instance's own: another instance's analysis meanwhile
// changes nothing.
TEST_F(Resynth, EachInstanceKeepsItsFftSize) {
    loadSound("own", {sound(1000, 1, 0.4)});
    maxhost::createBuffer("own_out", 2, 1000, kRate);
    std::vector<kvtest::Out> lists = decompose(2);
    t_korvane *other = make("other");
    sendFloat(other, "setWin", 0.032);
    load(other, "big", {sound(8000, 9, 0.4)}, kRate);
    sendInt(other, 1);
    sendSym(other, "decompNoOut");
    ASSERT_EQ(other->eng.fftSize, 256);
    EXPECT_EQ(x->eng.fftSize, kN);
    layer(lists[0].values, lists[2].values);
    bang();
    expectOutput("own_out");
}

// The model uses the count with which W and H were made.
TEST_F(Resynth, ComponentCountChangedAfterDecomposition) {
    loadSound("c", {sound(1000, 1, 0.4), sound(1000, 2, 0.4)});
    maxhost::createBuffer("c_out", 2, 1000, kRate);
    std::vector<kvtest::Out> lists = decompose(3);
    sendInt(x, 8);
    layer(lists[1].values, lists[4].values);
    bang();
    EXPECT_EQ(x->eng.factK, 3);
    expectOutput("c_out");
}

TEST_F(Resynth, OutOfMemoryKeepsTheMaskAndTheBuffer) {
    loadSound("o", {sound(1000, 1, 0.4), sound(1000, 2, 0.4)});
    maxhost::Buffer *out = maxhost::createBuffer("o_out", 2, 1000, kRate);
    std::fill(out->samples.begin(), out->samples.end(), 0.25f);
    std::vector<kvtest::Out> lists = decompose(2);
    layer(lists[0].values, lists[2].values);
    for (long n = 0; n < 3; ++n) {  // model, left, right
        clear();
        failAllocsAfter(n);
        bang();
        failAllocsAfter(-1);
        EXPECT_EQ(texts(), std::vector<std::string>{"!Resynthesis error: out of memory"}) << n;
        EXPECT_FALSE(x->eng.maskEmpty);
        EXPECT_EQ(x->eng.outL, nullptr);
        EXPECT_EQ(x->eng.outR, nullptr);
        EXPECT_EQ(outSamples("o_out")[7], 0.25f);
    }
    bang();
    expectOutput("o_out");
}

TEST_F(Resynth, BangFromSchedulerIsDeferred) {
    loadSound("s", {sound(1000, 1, 0.4)});
    maxhost::createBuffer("s_out", 2, 1000, kRate);
    std::vector<kvtest::Out> lists = decompose(2);
    layer(lists[0].values, lists[2].values);
    clear();
    maxhost::sendFromScheduler(reinterpret_cast<t_object *>(x), 2, gensym("bang"), 0, nullptr);
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_TRUE(allOnMainThread());
    expectOutput("s_out");
}

// Create, load, decompose several times, layer, resynthesise, reload and
// delete: the sanitizer build checks that nothing leaks or is touched twice.
TEST_F(Resynth, WholeLifeRunsClean) {
    maxhost::createBuffer("l1_out", 2, 1000, kRate);
    for (int round = 0; round < 2; ++round) {
        loadSound("l1", {sound(1000, 1 + round, 0.4), sound(1000, 3, 0.4)});
        for (long K : {1, 3, 2}) {
            std::vector<kvtest::Out> lists = decompose(K);
            layer(lists[0].values, lists[K].values);
            sendList(x, 1, {0.5});
            bang();
        }
        sendSym(x, "decompNoOut");
        sendFloat(x, "setHop", 0.5);
    }
    loadSound("l2", {sound(1200, 5, 0.4)});
    sendList(x, 1, {1.0, 2.0});
    maxhost::freeObject(reinterpret_cast<t_object *>(x));
    x = nullptr;
}

// The model W.H is made by the first bang after a factorisation and kept for
// the bangs that follow; anything that replaces W and H lets it go.
class ModelCache : public Resynth {
protected:
    // the product by three loops, against which the kept model is compared
    std::vector<double> product() {
        int frames = static_cast<int>(x->eng.numFrames), K = x->eng.factK;
        std::vector<double> m(static_cast<size_t>(kBins) * frames, 0.0);
        for (int b = 0; b < kBins; ++b)
            for (int t = 0; t < frames; ++t)
                for (int k = 0; k < K; ++k)
                    m[static_cast<size_t>(b) * frames + t] +=
                        x->eng.W[static_cast<size_t>(b) * K + k] *
                        x->eng.H[static_cast<size_t>(k) * frames + t];
        return m;
    }
    void expectModelIsProduct() {
        ASSERT_NE(x->eng.model, nullptr);
        std::vector<double> m = product();
        for (size_t i = 0; i < m.size(); ++i)  // summation order of K <= 3 terms
            EXPECT_NEAR(x->eng.model[i], m[i], 1e-14 * (1 + m[i])) << i;
    }
};

TEST_F(ModelCache, RepeatedBangsGiveTheSameSamples) {
    loadSound("m", {sound(1000, 1, 0.4), sound(1000, 2, 0.4)});
    maxhost::createBuffer("m_out", 2, 1000, kRate);
    std::vector<kvtest::Out> lists = decompose(3);
    EXPECT_EQ(x->eng.model, nullptr);  // nothing is made before it is needed
    layer(lists[0].values, lists[3].values);
    layer(lists[2].values, lists[5].values, 0.5);
    bang();
    expectModelIsProduct();
    expectOutput("m_out");
    std::vector<float> first = outSamples("m_out");
    const double *kept = x->eng.model;

    for (int again = 0; again < 2; ++again) {
        std::fill(expectedMask.begin(), expectedMask.end(), 0.0);
        layer(lists[0].values, lists[3].values);
        layer(lists[2].values, lists[5].values, 0.5);
        clear();
        bang();
        EXPECT_EQ(outs.size(), 1u);
        EXPECT_EQ(x->eng.model, kept);
        EXPECT_EQ(outSamples("m_out"), first) << again;  // bit for bit
    }
    // another composition through the same model
    std::fill(expectedMask.begin(), expectedMask.end(), 0.0);
    layer(lists[1].values, lists[4].values);
    bang();
    EXPECT_EQ(x->eng.model, kept);
    expectOutput("m_out");
}

TEST_F(ModelCache, ComponentCountAfterTheFactorisationLeavesItAlone) {
    loadSound("k", {sound(1000, 1, 0.4)});
    maxhost::createBuffer("k_out", 2, 1000, kRate);
    std::vector<kvtest::Out> lists = decompose(2);
    layer(lists[0].values, lists[2].values);
    bang();
    std::vector<float> first = outSamples("k_out");
    const double *kept = x->eng.model;
    sendInt(x, 5);
    std::fill(expectedMask.begin(), expectedMask.end(), 0.0);
    layer(lists[0].values, lists[2].values);
    bang();
    EXPECT_EQ(x->eng.factK, 2);
    EXPECT_EQ(x->eng.model, kept);
    expectModelIsProduct();
    EXPECT_EQ(outSamples("k_out"), first);
}

TEST_F(ModelCache, NewFactorisationReplacesIt) {
    loadSound("f", {sound(1000, 1, 0.4), sound(1000, 2, 0.4)});
    maxhost::createBuffer("f_out", 2, 1000, kRate);
    std::vector<kvtest::Out> lists = decompose(2);
    layer(lists[0].values, lists[2].values);
    bang();
    ASSERT_NE(x->eng.model, nullptr);

    for (const char *how : {"decomp", "decompNoOut"}) {
        sendInt(x, 3);
        clear();
        sendSym(x, how);
        EXPECT_EQ(x->eng.model, nullptr) << how;
        lists = decompose(3);
        layer(lists[1].values, lists[4].values);
        bang();
        expectModelIsProduct();
        expectOutput("f_out");
    }
}

TEST_F(ModelCache, NewSoundOrNewAnalysisLetsItGo) {
    loadSound("a", {sound(1000, 1, 0.4), sound(1000, 2, 0.4)});
    maxhost::createBuffer("a_out", 2, 1000, kRate);
    std::vector<kvtest::Out> lists = decompose(2);
    layer(lists[0].values, lists[2].values);
    bang();
    ASSERT_NE(x->eng.model, nullptr);
    ASSERT_NE(x->eng.outL, nullptr);

    // a new sound of the same length: its output channels are made afresh
    loadSound("a", {sound(1000, 7, 0.3), sound(1000, 8, 0.2)});
    EXPECT_EQ(x->eng.outL, nullptr);
    EXPECT_EQ(x->eng.outR, nullptr);
    lists = decompose(2);  // a new analysis, then new factors
    EXPECT_EQ(x->eng.model, nullptr);
    layer(lists[1].values, lists[3].values);
    bang();
    expectModelIsProduct();
    expectOutput("a_out");

    // a new analysis of the same sound, at another hop
    sendFloat(x, "setHop", 0.5);
    sendSym(x, "decompNoOut");
    EXPECT_EQ(x->eng.model, nullptr);
    EXPECT_EQ(x->eng.hopSize, 32);
}

}  // namespace
