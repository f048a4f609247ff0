// Mask layering: activation lists on inlet 1, basis lists on inlet 2.
#include "fixture.hpp"

#include <algorithm>
#include <limits>

using kvtest::Korvane;

namespace {

class Mask : public Korvane {
protected:
    t_korvane *x = nullptr;
    int bins = 0, frames = 0;
    void SetUp() override {
        Korvane::SetUp();
        x = make();
        sendFloat(x, "setWin", 0.008);  // 33 bins
        load(x, "m", {kvtest::tone(1000, 8000, {900}, {0.5}, 2, 0.1)}, 8000);
        sendInt(x, 2);
        sendSym(x, "decompNoOut");
        bins = static_cast<int>(x->eng.numBins);
        frames = static_cast<int>(x->eng.numFrames);  // 58
        clear();
    }
    std::vector<double> mask() const {
        return std::vector<double>(x->eng.mask, x->eng.mask + static_cast<size_t>(bins) * frames);
    }
    // a basis list in the outlet's form for the given w
    std::vector<double> basisOf(const std::vector<double> &w) const {
        std::vector<double> v(w.size());
        for (size_t i = 0; i < w.size(); ++i) v[i] = -std::log(1.0 + w[i]);
        return v;
    }
    std::vector<double> ramp(int n, double a, double d) const {
        std::vector<double> r(n);
        for (int i = 0; i < n; ++i) r[i] = a + d * i;
        return r;
    }
};

TEST_F(Mask, LayersSumOuterProducts) {
    std::vector<double> a1 = ramp(frames, -0.5, 0.03), a2 = ramp(frames, 1.0, -0.01);
    std::vector<double> v1 = ramp(bins, -1.0, 0.05), v2 = ramp(bins, -0.2, -0.01);
    sendList(x, 1, a1);
    sendList(x, 2, v1);
    EXPECT_FALSE(x->eng.maskEmpty);
    EXPECT_EQ(x->actList, nullptr);  // both lists are consumed
    EXPECT_EQ(x->baseList, nullptr);
    sendList(x, 1, a2);
    sendList(x, 2, v2);
    EXPECT_TRUE(console.empty());
    std::vector<double> m = mask();
    for (int b = 0; b < bins; ++b)
        for (int t = 0; t < frames; ++t) {
            // clamped as the object stores them: activations and bases >= 0
            double w1 = std::max(0.0, std::exp(-v1[b]) - 1),
                   w2 = std::max(0.0, std::exp(-v2[b]) - 1);
            double e = w1 * std::max(0.0, a1[t]);
            e = e + w2 * std::max(0.0, a2[t]);
            ASSERT_EQ(m[static_cast<size_t>(b) * frames + t], e) << b << " " << t;
        }
}

// -log 2 gives w = 1; a positive list value gives a negative w, stored as 0;
// an activation of -3 is stored as 0.
TEST_F(Mask, ConvertsAndClampsValues) {
    std::vector<double> a(frames, 1.0), v(bins, -std::log(2.0));
    a[4] = -3.0;
    v[7] = 0.5;
    sendList(x, 1, a);
    sendList(x, 2, v);
    std::vector<double> m = mask();
    // exp(log 2) - 1 is 1 within a couple of ulps
    EXPECT_NEAR(m[0 * frames + 0], 1.0, 1e-15);
    EXPECT_EQ(m[0 * frames + 4], 0.0);
    EXPECT_EQ(m[7 * frames + 0], 0.0);
}

TEST_F(Mask, ZeroBasisAddsNothingButCounts) {
    sendList(x, 1, std::vector<double>(frames, 1.0));
    sendList(x, 2, std::vector<double>(bins, 0.0));
    EXPECT_FALSE(x->eng.maskEmpty);
    std::vector<double> m = mask();
    EXPECT_TRUE(std::all_of(m.begin(), m.end(), [](double v) { return v == 0.0; }));
}

TEST_F(Mask, WrongBasisLengthBlocksUntilNextActivation) {
    sendList(x, 1, std::vector<double>(frames, 1.0));
    sendList(x, 2, std::vector<double>(bins - 1, -0.5));
    EXPECT_EQ(texts(), std::vector<std::string>{"!Error: 32 base elements read, 33 expected.\n"});
    EXPECT_TRUE(x->baseLenError);
    sendList(x, 2, std::vector<double>(bins, -0.5));  // blocked
    EXPECT_TRUE(x->eng.maskEmpty);
    sendList(x, 1, std::vector<double>(frames, 1.0));
    EXPECT_FALSE(x->baseLenError);
    sendList(x, 2, std::vector<double>(bins, -0.5));
    EXPECT_FALSE(x->eng.maskEmpty);
    EXPECT_EQ(console.size(), 1u);
}

TEST_F(Mask, OneActivationMakesOneLayer) {
    sendList(x, 1, std::vector<double>(frames, 1.0));
    sendList(x, 2, basisOf(std::vector<double>(bins, 2.0)));
    sendList(x, 2, basisOf(std::vector<double>(bins, 2.0)));  // held, adds nothing
    EXPECT_NEAR(x->eng.mask[0], 2.0, 1e-15);
    EXPECT_NE(x->baseList, nullptr);
}

// Values past numFrames are ignored; values missing count as 0.
TEST_F(Mask, ActivationLengthsOtherThanTheFrames) {
    std::vector<double> longer(frames + 40, 1.0);
    sendList(x, 1, longer);
    sendList(x, 2, basisOf(std::vector<double>(bins, 1.0)));
    std::vector<double> m = mask();
    EXPECT_TRUE(std::all_of(m.begin(), m.end(), [](double v) { return std::fabs(v - 1) < 1e-15; }));

    std::fill(x->eng.mask, x->eng.mask + m.size(), 0.0);
    sendList(x, 1, {0.5, 0.25});
    sendList(x, 2, basisOf(std::vector<double>(bins, 1.0)));
    m = mask();
    for (int b = 0; b < bins; ++b) {
        EXPECT_NEAR(m[static_cast<size_t>(b) * frames], 0.5, 1e-15);
        EXPECT_NEAR(m[static_cast<size_t>(b) * frames + 1], 0.25, 1e-15);
        for (int t = 2; t < frames; ++t) ASSERT_EQ(m[static_cast<size_t>(b) * frames + t], 0.0);
    }
}

TEST_F(Mask, ListsOnTheLeftInletAreIgnored) {
    sendList(x, 0, std::vector<double>(frames, 1.0));
    EXPECT_EQ(x->actList, nullptr);
    EXPECT_TRUE(console.empty());
}

TEST_F(Mask, NothingWithoutSoundOrMask) {
    t_korvane *y = make("fresh");
    clear();
    sendList(y, 1, {1.0, 2.0});
    stage<void (*)(t_korvane *)>("kv_addOneMaskLayer")(y);
    EXPECT_EQ(texts(), std::vector<std::string>{"!Mask error: no file was loaded"});
    EXPECT_NE(y->actList, nullptr);  // the lists stay held

    // a sound, an STFT, but no factorisation yet: no mask, nothing happens
    sendFloat(y, "setWin", 0.008);
    load(y, "m", {kvtest::tone(1000, 8000, {900}, {0.5}, 2, 0.1)}, 8000);
    stage<int (*)(t_korvane *)>("kv_computeSTFT")(y);
    clear();
    sendList(y, 1, std::vector<double>(frames, 1.0));
    sendList(y, 2, std::vector<double>(bins, -1.0));
    EXPECT_TRUE(console.empty());
    EXPECT_EQ(y->eng.mask, nullptr);
}

TEST_F(Mask, NonFiniteValuesAddNothing) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::string notFinite = "!Mask error: activation or basis is not finite";
    std::vector<double> infiniteAct(frames, 1.0), infiniteBasis(bins, -0.5),
        nanPast(frames + 1, 1.0);
    infiniteAct[3] = inf;
    infiniteBasis[0] = -inf;  // w = inf
    nanPast[frames] = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char *what;
        std::vector<double> activation, basis;
        std::vector<std::string> lines;
        bool maskEmpty;
    };
    const Case cases[] = {
        {"infinite activation", infiniteAct, std::vector<double>(bins, -0.5), {notFinite}, true},
        {"infinite basis", std::vector<double>(frames, 1.0), infiniteBasis, {notFinite}, true},
        // values past the frames are not used, so they do not count
        {"NaN past the frames", nanPast, std::vector<double>(bins, -0.5), {}, false},
    };
    for (const Case &c : cases) {
        clear();
        sendList(x, 1, c.activation);
        sendList(x, 2, c.basis);
        EXPECT_EQ(texts(), c.lines) << c.what;
        EXPECT_EQ(x->eng.maskEmpty, c.maskEmpty) << c.what;
    }
}

// Basis lists sent back as they left the object restore w = exp(-v) - 1.
TEST_F(Mask, ListsSentBackRebuildTheirComponent) {
    sendSym(x, "decomp");
    ASSERT_EQ(outs.size(), 4u);
    sendList(x, 1, outs[1].values);
    sendList(x, 2, outs[3].values);
    // rebuild the expected layer from the lists alone
    std::vector<double> m = mask();
    for (int b = 0; b < bins; ++b)
        for (int t = 0; t < frames; ++t) {
            double w = std::exp(-outs[3].values[b]) - 1;
            double e = std::max(0.0, w) * outs[1].values[t];
            ASSERT_NEAR(m[static_cast<size_t>(b) * frames + t], e, 1e-15 * (1 + e));
        }
}

TEST_F(Mask, OutOfMemoryKeepsWhatIsHeld) {
    sendList(x, 1, std::vector<double>(frames, 1.0));
    double *held = x->actList;
    failAllocsAfter(0);
    sendList(x, 1, std::vector<double>(frames, 2.0));
    sendList(x, 2, std::vector<double>(bins, -0.5));
    failAllocsAfter(-1);
    EXPECT_EQ(texts(), (std::vector<std::string>{"!Mask error: out of memory",
                                                 "!Mask error: out of memory"}));
    EXPECT_EQ(x->actList, held);
    EXPECT_EQ(x->baseList, nullptr);
    EXPECT_TRUE(x->eng.maskEmpty);
}

TEST_F(Mask, ListsFromSchedulerAreDeferred) {
    std::vector<t_atom> a(frames), v(bins);
    for (auto &at : a) atom_setfloat(&at, 1.0);
    for (auto &at : v) atom_setfloat(&at, -0.5);
    maxhost::sendFromScheduler(reinterpret_cast<t_object *>(x), 1, gensym("list"),
                               static_cast<short>(frames), a.data());
    maxhost::sendFromScheduler(reinterpret_cast<t_object *>(x), 2, gensym("list"),
                               static_cast<short>(bins), v.data());
    EXPECT_FALSE(x->eng.maskEmpty);
    EXPECT_NEAR(x->eng.mask[0], std::exp(0.5) - 1, 1e-15);
    clear();
    maxhost::sendFromScheduler(reinterpret_cast<t_object *>(x), 2, gensym("list"), 3, v.data());
    ASSERT_EQ(console.size(), 1u);  // the length error, posted on the main thread
    EXPECT_TRUE(allOnMainThread());
}

}  // namespace
