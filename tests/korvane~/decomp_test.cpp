// "decomp" and "decompNoOut": guards, the factorisation's results, the lists
// and their order, threads and memory.
#include "fixture.hpp"

#include <algorithm>
#include <climits>
#include <functional>
#include <numeric>

using kvtest::Korvane;

namespace {

// components by descending centroid of their bases (bins counted from 1),
// equal or undefined centroids kept in index order, undefined last
std::vector<size_t> centroidOrder(const t_korvane *x) {
    int bins = static_cast<int>(x->eng.numBins), K = x->eng.factK;
    std::vector<double> c(K);
    for (int k = 0; k < K; ++k) {
        double s = 0, m = 0;
        for (int b = 0; b < bins; ++b) {
            s += x->eng.W[static_cast<size_t>(b) * K + k];
            m += (b + 1) * x->eng.W[static_cast<size_t>(b) * K + k];
        }
        c[k] = m / s;
    }
    std::vector<size_t> order(K);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (std::isnan(c[a])) return false;
        if (std::isnan(c[b])) return true;
        return c[a] > c[b];
    });
    return order;
}

// the lists of one "decomp" against the factors it made
void checkLists(const t_korvane *x, const std::vector<kvtest::Out> &outs) {
    int K = x->eng.factK, bins = static_cast<int>(x->eng.numBins),
        frames = static_cast<int>(x->eng.numFrames);
    ASSERT_EQ(outs.size(), static_cast<size_t>(2 * K));
    std::vector<size_t> order = centroidOrder(x);
    double largest = 0;
    for (int i = 0; i < K; ++i) {
        const kvtest::Out &a = outs[i];
        EXPECT_EQ(a.outlet, 0);
        EXPECT_EQ(a.sel, "list");
        ASSERT_EQ(a.values.size(), static_cast<size_t>(frames));
        for (int t = 0; t < frames; ++t) {
            EXPECT_EQ(a.values[t], x->eng.H[order[i] * frames + t]);
            EXPECT_GE(a.values[t], 0.0);
            EXPECT_LE(a.values[t], 1.0);
            largest = std::max(largest, a.values[t]);
        }
        const kvtest::Out &w = outs[K + i];
        EXPECT_EQ(w.outlet, 1);
        ASSERT_EQ(w.values.size(), static_cast<size_t>(bins));
        for (int b = 0; b < bins; ++b) {
            double v = x->eng.W[static_cast<size_t>(b) * K + order[i]];
            EXPECT_DOUBLE_EQ(w.values[b], -std::log(1.0 + v));
            EXPECT_LE(w.values[b], 0.0);
        }
    }
    EXPECT_EQ(largest, 1.0);
}

class Decomp : public Korvane {
protected:
    t_korvane *x = nullptr;
    void SetUp() override {
        Korvane::SetUp();
        x = make();
    }
    // 0.25 s at 8000 Hz, window 64 samples: 33 bins, 121 frames
    void loadSmall(int channels = 1) {
        sendFloat(x, "setWin", 0.008);
        std::vector<double> s = kvtest::tone(2000, 8000, {400, 2500}, {0.6, 0.3}, 9, 0.05);
        for (int i = 1000; i < 2000; ++i) s[i] *= 0.2;
        std::vector<std::vector<double>> ch(channels, s);
        if (channels > 1) ch[1] = kvtest::tone(2000, 8000, {1200}, {0.5}, 5, 0.05);
        load(x, "small", ch, 8000);
        clear();
    }
};

// Each message and the console lines it brings, in turn; K = 0 is reported
// before the missing sound.
TEST_F(Decomp, GuardsComeInOrder) {
    struct Step {
        const char *what;
        std::function<void()> send;
        std::vector<std::string> lines;
    };
    const Step steps[] = {
        {"decomp, K = 0",
         [&] { sendSym(x, "decomp"); },
         {"!Factorization error: 0 components selected."}},
        {"int 3", [&] { sendInt(x, 3); }, {"number of components set to 3"}},
        {"decomp, no sound",
         [&] { sendSym(x, "decomp"); },
         {"!Factorization error: no file was loaded"}},
        {"decompNoOut, no sound",
         [&] { sendSym(x, "decompNoOut", "", 1); },
         {"!Factorization error: no file was loaded"}},
        {"int -2", [&] { sendInt(x, -2); }, {"number of components set to 4294967294"}},
        {"decomp, K < 0",
         [&] { sendSym(x, "decomp"); },
         {"!Factorization error: negative number of components selected."}},
        {"int 0", [&] { sendInt(x, 0); }, {"number of components set to 0"}},
        {"decomp, K = 0 again",
         [&] { sendSym(x, "decomp"); },
         {"!Factorization error: 0 components selected."}},
    };
    for (const Step &step : steps) {
        clear();
        step.send();
        EXPECT_EQ(texts(), step.lines) << step.what;
        EXPECT_TRUE(outs.empty()) << step.what;
    }
}

TEST_F(Decomp, TooManyComponentsRunNothing) {
    loadSmall();
    x->K = static_cast<int64_t>(INT_MAX) + 1;  // no longer a 32-bit count
    sendSym(x, "decomp");
    EXPECT_EQ(texts(),
              std::vector<std::string>{"!Factorization error: too many components selected."});
    EXPECT_FALSE(x->eng.stftValid);

    sendInt(x, INT_MAX / 33 + 1);  // W would hold more than 2^31 values
    clear();
    sendSym(x, "decomp");
    ASSERT_EQ(texts().size(), 3u);
    EXPECT_EQ(texts()[1], "STFT computed");
    EXPECT_EQ(texts()[2], "!Factorization error: too many components selected.");
    EXPECT_EQ(x->eng.W, nullptr);
    EXPECT_TRUE(outs.empty());
}

// The worked example: 441000 samples at 44100 Hz, defaults, K = 3.
TEST_F(Decomp, WorkedExampleSendsThreeAndThreeLists) {
    std::vector<double> s = kvtest::tone(441000, 44100, {220, 3520}, {0.5, 0.2}, 2, 0.01);
    for (int i = 0; i < 441000; ++i) s[i] *= (i / 44100) % 2 ? 1.0 : 0.3;  // pulses
    load(x, "long", {s}, 44100);
    sendInt(x, 3);
    clear();
    sendSym(x, "decomp");
    std::vector<std::string> t = texts();
    EXPECT_EQ(t, (std::vector<std::string>{
                     "winlength = 0.080000, FFTsize = 4096, hop = 1024, frames = 426",
                     "STFT computed", "Factorizing sound with k=3...", "done.\n"}));
    ASSERT_EQ(outs.size(), 6u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(outs[i].values.size(), 426u);
        EXPECT_EQ(outs[3 + i].values.size(), 2049u);
        EXPECT_GT(outs[i].seq, console.back().seq);  // lists after "done."
    }
    checkLists(x, outs);
    EXPECT_NE(x->eng.order, nullptr);  // the order stays with the factors
}

TEST_F(Decomp, FactorsAreOrderedAndScaled) {
    loadSmall();
    sendInt(x, 4);
    sendSym(x, "decomp", "", 2);  // any inlet takes commands
    ASSERT_TRUE(x->eng.decompValid);
    EXPECT_EQ(x->eng.factK, 4);
    EXPECT_EQ(x->eng.numBins, 33);
    EXPECT_EQ(x->eng.numFrames, 2000 / 16 - 4);
    checkLists(x, outs);
    double hmax = *std::max_element(x->eng.H, x->eng.H + 4 * x->eng.numFrames);
    EXPECT_EQ(hmax, 1.0);
    EXPECT_GE(*std::min_element(x->eng.H, x->eng.H + 4 * x->eng.numFrames), 0.0);
    EXPECT_GE(*std::min_element(x->eng.W, x->eng.W + 4 * x->eng.numBins), 0.0);
    ASSERT_NE(x->eng.mask, nullptr);
    EXPECT_TRUE(x->eng.maskEmpty);
    EXPECT_TRUE(std::all_of(x->eng.mask, x->eng.mask + x->eng.numBins * x->eng.numFrames,
                            [](double v) { return v == 0.0; }));

    // a second run reuses the spectrogram and makes new components
    std::vector<double> firstH(x->eng.H, x->eng.H + 4 * x->eng.numFrames);
    clear();
    sendSym(x, "decomp");
    EXPECT_EQ(texts(), (std::vector<std::string>{"Factorizing sound with k=4...", "done.\n"}));
    checkLists(x, outs);
    EXPECT_NE(std::vector<double>(x->eng.H, x->eng.H + 4 * x->eng.numFrames), firstH);
}

TEST_F(Decomp, NoOutKeepsTheOrdersAndSendsNothing) {
    loadSmall();
    sendInt(x, 1);
    clear();
    sendSym(x, "decompNoOut");
    EXPECT_EQ(texts().size(), 4u);
    EXPECT_EQ(texts()[2], "Factorizing sound with k=1...");
    EXPECT_TRUE(outs.empty());
    ASSERT_NE(x->eng.order, nullptr);
    EXPECT_EQ(x->eng.order[0], 0u);
    sendSym(x, "decompNoOut");  // the orders are replaced, not leaked
    EXPECT_NE(x->eng.order, nullptr);
}

// The lists use the count with which W and H were made, whatever "int" says.
TEST_F(Decomp, ListsFollowTheFactorsNotTheSetting) {
    loadSmall();
    sendInt(x, 3);
    sendSym(x, "decompNoOut");
    sendInt(x, 7);
    clear();
    stage<void (*)(t_korvane *)>("kv_sendLists")(x);
    checkLists(x, outs);
    EXPECT_EQ(outs.size(), 6u);
}

// Silence, and stereo channels in opposite phase, whose sum is silence.
TEST_F(Decomp, SilenceGivesZeroListsWithoutNaN) {
    sendFloat(x, "setWin", 0.008);
    std::vector<double> s = kvtest::tone(1000, 8000, {700}, {0.5}, 1, 0.1), neg(s);
    for (double &v : neg) v = -v;
    for (auto channels : {std::vector<std::vector<double>>{std::vector<double>(1000, 0.0)},
                          std::vector<std::vector<double>>{s, neg}}) {
        load(x, "quiet", channels, 8000);
        sendInt(x, 2);
        clear();
        sendSym(x, "decomp");
        ASSERT_EQ(outs.size(), 4u);
        for (const auto &o : outs)
            for (double v : o.values) ASSERT_EQ(v, 0.0);
    }
}

// The channels are summed as complex spectra: two equal channels factorise
// exactly as one channel of twice the amplitude (doubling is exact in
// floating point), given the same random start.
TEST_F(Decomp, StereoFactorisesTheSummedSpectrum) {
    sendFloat(x, "setWin", 0.008);
    std::vector<double> s = kvtest::tone(2000, 8000, {400, 2500}, {0.3, 0.1}, 9, 0.05), twice(s);
    for (double &v : twice) v *= 2;
    load(x, "pair", {s, s}, 8000);
    sendInt(x, 2);
    srand(17);
    sendSym(x, "decompNoOut");
    ASSERT_TRUE(x->eng.decompValid);
    ASSERT_NE(x->eng.stftReR, nullptr);

    t_korvane *y = make("mono");
    sendFloat(y, "setWin", 0.008);
    load(y, "twice", {twice}, 8000);
    sendInt(y, 2);
    srand(17);
    sendSym(y, "decompNoOut");
    ASSERT_TRUE(y->eng.decompValid);
    // the same inputs to the same factorisation: equal up to the order in
    // which a threaded product may sum; a spectrogram of one channel only
    // would leave H alike but halve W
    for (int i = 0; i < 2 * 33; ++i)
        EXPECT_NEAR(x->eng.W[i], y->eng.W[i], 1e-9 * (1 + y->eng.W[i]));
    for (int i = 0; i < 2 * 121; ++i) EXPECT_NEAR(x->eng.H[i], y->eng.H[i], 1e-9);
    EXPECT_EQ(x->eng.order[0], y->eng.order[0]);
}

// From the scheduler the whole handler waits for the main thread, so the
// lists follow their own factorisation.
TEST_F(Decomp, FromSchedulerRunsOnMainThread) {
    loadSmall();
    sendInt(x, 2);
    clear();
    schedSym(x, "decomp");
    EXPECT_TRUE(allOnMainThread());
    ASSERT_EQ(texts().size(), 4u);
    EXPECT_EQ(texts()[3], "done.\n");
    checkLists(x, outs);
    for (const auto &o : outs) EXPECT_GT(o.seq, console.back().seq);
    clear();
    schedSym(x, "decompNoOut");
    EXPECT_TRUE(allOnMainThread());
    EXPECT_EQ(texts().size(), 2u);
}

// A deferred decomposition of an object deleted meanwhile never runs.
TEST_F(Decomp, DeferredCallOfADeletedObjectIsDropped) {
    loadSmall();
    sendInt(x, 2);
    t_atom none;
    std::thread sched(
        [&] { maxhost::send(reinterpret_cast<t_object *>(x), 0, gensym("decomp"), 0, &none); });
    sched.join();
    maxhost::freeObject(reinterpret_cast<t_object *>(x));
    clear();
    maxhost::runDeferred();
    EXPECT_TRUE(console.empty());
    EXPECT_TRUE(outs.empty());
}

TEST_F(Decomp, OutOfMemoryKeepsTheEarlierFactors) {
    loadSmall(2);
    sendInt(x, 2);
    sendSym(x, "decompNoOut");
    double *W = x->eng.W, *mask = x->eng.mask;
    vDSP_Length *order = x->eng.order;
    sendInt(x, 3);
    for (long n = 0; n < 8; ++n) {  // each allocation of the stage in turn
        clear();
        failAllocsAfter(n);
        sendSym(x, "decomp");
        failAllocsAfter(-1);
        EXPECT_EQ(texts().back(), "!Factorization error: out of memory.") << n;
        EXPECT_TRUE(outs.empty()) << n;
        EXPECT_EQ(x->eng.W, W);
        EXPECT_EQ(x->eng.mask, mask);
        EXPECT_EQ(x->eng.order, order);
        EXPECT_EQ(x->eng.factK, 2);
        EXPECT_TRUE(x->eng.decompValid);
    }
    // the list output's own scratch
    clear();
    sendSym(x, "decompNoOut");
    failAllocsAfter(0);
    stage<void (*)(t_korvane *)>("kv_sendLists")(x);
    failAllocsAfter(-1);
    EXPECT_EQ(texts().back(), "!Factorization error: out of memory.");
    EXPECT_TRUE(outs.empty());
}

}  // namespace
