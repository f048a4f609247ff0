// Creation, deletion, the setting messages and the signal hooks.
#include "fixture.hpp"

using kvtest::Korvane;

namespace {

const char *kBanner = "korvane~ external loaded. v0.4";

TEST_F(Korvane, CreationPostsBannerAndSetsDefaults) {
    t_korvane *x = make("a");
    make("b");
    ASSERT_EQ(console.size(), 2u);  // once per creation
    for (const auto &l : console) {
        EXPECT_FALSE(l.error);
        EXPECT_EQ(l.text.rfind(kBanner, 0), 0u) << l.text;
    }
    auto *o = reinterpret_cast<t_object *>(x);
    EXPECT_EQ(maxhost::inletCount(o), 3u);
    EXPECT_EQ(maxhost::outletCount(o), 3u);
    EXPECT_EQ(x->K, 0);
    EXPECT_EQ(x->eng.numBins, 0);
    EXPECT_EQ(x->eng.numFrames, 0);
    EXPECT_FALSE(x->eng.fileLoaded);
    EXPECT_FALSE(x->eng.stftValid);
    EXPECT_FALSE(x->baseLenError);
    EXPECT_FALSE(x->eng.maskEmpty);
    EXPECT_EQ(x->eng.settings.window, 0.08f);
    EXPECT_EQ(x->eng.settings.overlap, 0.75f);
    EXPECT_EQ(x->eng.sigL, nullptr);
    EXPECT_EQ(x->eng.W, nullptr);
    EXPECT_EQ(x->eng.mask, nullptr);
}

TEST_F(Korvane, CreationArgumentsChangeNothing) {
    std::string err;
    t_atom a[2];
    atom_setlong(&a[0], 7);
    atom_setsym(&a[1], gensym("x"));
    auto *x = reinterpret_cast<t_korvane *>(maxhost::newObject("k", "korvane~", {a[0], a[1]}, err));
    ASSERT_NE(x, nullptr) << err;
    EXPECT_EQ(x->K, 0);
    EXPECT_EQ(x->eng.settings.window, 0.08f);
}

TEST_F(Korvane, FailedAllocationStillPostsBanner) {
    make("first");  // loads the class
    clear();
    maxhost::failNextAllocs(1);
    std::string err;
    EXPECT_EQ(maxhost::newObject("k", "korvane~", {}, err), nullptr);
    ASSERT_EQ(console.size(), 1u);
    EXPECT_EQ(console[0].text.rfind(kBanner, 0), 0u);
}

TEST_F(Korvane, IntSetsKOnEveryInletAndPosts) {
    t_korvane *x = make();
    clear();
    sendInt(x, 0, 0);
    sendInt(x, 5, 1);
    sendInt(x, 3, 2);
    EXPECT_EQ(texts(), (std::vector<std::string>{"number of components set to 0",
                                                 "number of components set to 5",
                                                 "number of components set to 3"}));
    EXPECT_EQ(x->K, 3);
    sendFloat(x, "float", 4.7);  // a float becomes the int it truncates to
    EXPECT_EQ(x->K, 4);
}

TEST_F(Korvane, SetWinAndSetHopStoreSinglePrecisionSilently) {
    t_korvane *x = make();
    x->eng.stftValid = true;
    clear();
    sendFloat(x, "setWin", 0.1, 2);
    EXPECT_EQ(x->eng.settings.window, 0.1f);
    EXPECT_FALSE(x->eng.stftValid);
    x->eng.stftValid = true;
    sendFloat(x, "setHop", 0.25, 1);
    EXPECT_EQ(x->eng.settings.overlap, 0.75f);
    EXPECT_FALSE(x->eng.stftValid);
    sendFloat(x, "setHop", 0.4);
    EXPECT_EQ(x->eng.settings.overlap, 1.0f - 0.4f);
    sendFloat(x, "setHop", 0.5);
    EXPECT_EQ(x->eng.settings.overlap, 0.5f);
    EXPECT_TRUE(console.empty());
}

TEST_F(Korvane, SignalChainAcceptsThePerformRoutine) {
    make();
    clear();
    maxhost::dspOn();
    EXPECT_TRUE(console.empty());
    EXPECT_TRUE(outs.empty());
}

// Deletion with everything allocated. No assertion: only the sanitizer build,
// whose leak checker sees what is not given back, can fail it.
TEST_F(Korvane, DeletionReleasesEverythingUnderSanitizers) {
    t_korvane *x = make();
    std::vector<float> s(2 * 3000);
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<float>(std::sin(0.05 * i));
    buffer("snd", 2, s, 8000);
    maxhost::createBuffer("snd_out", 2, 3000, 8000);
    sendFloat(x, "setWin", 0.032);
    sendInt(x, 2);
    sendSym(x, "loadBuffer", "snd");
    sendSym(x, "decompNoOut");
    sendList(x, 1, std::vector<double>(static_cast<size_t>(x->eng.numFrames), 0.5));
    sendList(x, 2, std::vector<double>(static_cast<size_t>(x->eng.numBins), -0.5));
    sendList(x, 1, {1, 2, 3});  // held at deletion
    sendSym(x, "decompNoOut");  // order arrays held at deletion
    ASSERT_NE(x->actList, nullptr);
    ASSERT_NE(x->eng.order, nullptr);
    maxhost::freeObject(reinterpret_cast<t_object *>(x));
    EXPECT_EQ(maxhost::findObject("k"), nullptr);
}

}  // namespace
