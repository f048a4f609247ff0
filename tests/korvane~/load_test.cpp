// "loadBuffer": what is copied, what is posted, and what a failed load keeps.
#include "fixture.hpp"

#include <limits>

using kvtest::Korvane;

namespace {

TEST_F(Korvane, LoadsStereoAndPostsInfoLine) {
    t_korvane *x = make();
    std::vector<float> s(2 * 88200);
    for (size_t f = 0; f < 88200; ++f) {
        s[2 * f] = static_cast<float>(f) * 1e-5f;
        s[2 * f + 1] = -static_cast<float>(f) * 1e-5f;
    }
    buffer("drums", 2, s, 44100);
    clear();
    sendSym(x, "loadBuffer", "drums");
    EXPECT_EQ(texts(), (std::vector<std::string>{
                           "read buffer: 2 channels, 88200 samples, 44100.000000 sr"}));
    EXPECT_TRUE(x->eng.fileLoaded);
    EXPECT_FALSE(x->eng.stftValid);
    EXPECT_EQ(x->eng.numChannels, 2);
    EXPECT_EQ(x->eng.numSamples, 88200);
    EXPECT_EQ(x->eng.sr, 44100.0);
    EXPECT_STREQ(x->inBufName->s_name, "drums");
    ASSERT_NE(x->eng.sigR, nullptr);
    for (int f : {0, 1, 4567, 88199}) {
        EXPECT_EQ(x->eng.sigL[f], static_cast<double>(s[2 * f]));
        EXPECT_EQ(x->eng.sigR[f], static_cast<double>(s[2 * f + 1]));
    }
}

TEST_F(Korvane, FourChannelsKeepChannelsZeroAndOne) {
    t_korvane *x = make();
    std::vector<float> s(4 * 100);
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<float>(i);
    buffer("quad", 4, s, 48000);
    sendSym(x, "loadBuffer", "quad");
    EXPECT_EQ(x->eng.numChannels, 4);
    EXPECT_EQ(x->eng.numSamples, 100);
    for (int f = 0; f < 100; ++f) {
        EXPECT_EQ(x->eng.sigL[f], 4.0 * f);
        EXPECT_EQ(x->eng.sigR[f], 4.0 * f + 1);
    }
}

TEST_F(Korvane, MonoAfterStereoDropsTheOldRightChannel) {
    t_korvane *x = make();
    buffer("st", 2, std::vector<float>(20, 0.5f), 44100);
    buffer("mono", 1, std::vector<float>(7, 0.25f), 22050);
    sendSym(x, "loadBuffer", "st");
    sendSym(x, "loadBuffer", "mono");
    EXPECT_EQ(x->eng.numChannels, 1);
    EXPECT_EQ(x->eng.numSamples, 7);
    EXPECT_EQ(x->eng.sigR, nullptr);
    EXPECT_EQ(x->eng.sigL[6], 0.25);
    EXPECT_EQ(x->eng.sr, 22050.0);
}

TEST_F(Korvane, ReloadRereadsCurrentContent) {
    t_korvane *x = make();
    buffer("b", 1, std::vector<float>(10, 1.0f), 44100);
    sendSym(x, "loadBuffer", "b");
    maxhost::findBuffer("b")->samples[3] = -2.0f;
    x->eng.stftValid = true;
    sendSym(x, "loadBuffer", "b");
    EXPECT_EQ(x->eng.sigL[3], -2.0);
    EXPECT_FALSE(x->eng.stftValid);
}

// A failed load keeps the sound, its name and its rate (the output name is
// derived from the input name, so a failed name must not stick).
TEST_F(Korvane, FailedLoadChangesNothing) {
    t_korvane *x = make();
    buffer("good", 1, std::vector<float>(50, 0.1f), 8000);
    sendSym(x, "loadBuffer", "good");
    t_buffer_ref *ref = x->inBufRef;
    double *sig = x->eng.sigL;
    x->eng.stftValid = true;
    x->eng.decompValid = true;
    clear();

    sendSym(x, "loadBuffer", "missing");
    sendSym(x, "loadBuffer");  // no name at all
    EXPECT_EQ(texts(), (std::vector<std::string>{"read buffer: 0 channels, 0 samples, 0.000000 sr",
                                                 "!Buffer read error.\n",
                                                 "read buffer: 0 channels, 0 samples, 0.000000 sr",
                                                 "!Buffer read error.\n"}));
    EXPECT_STREQ(x->inBufName->s_name, "good");
    EXPECT_EQ(x->inBufRef, ref);
    EXPECT_EQ(x->eng.sr, 8000.0);
    EXPECT_EQ(x->eng.sigL, sig);
    EXPECT_EQ(x->eng.numSamples, 50);
    EXPECT_TRUE(x->eng.stftValid);
    EXPECT_TRUE(x->eng.decompValid);
}

TEST_F(Korvane, RefusesBuffersWithoutChannelsOrLocks) {
    t_korvane *x = make();
    maxhost::createBuffer("empty", 0, 10, 44100);
    clear();
    sendSym(x, "loadBuffer", "empty");
    EXPECT_EQ(texts(),
              (std::vector<std::string>{"read buffer: 0 channels, 10 samples, 44100.000000 sr",
                                        "!Buffer read error.\n"}));
    EXPECT_FALSE(x->eng.fileLoaded);

    // a buffer that is locked elsewhere cannot be read
    buffer("busy", 1, std::vector<float>(4, 0.f), 44100);
    t_buffer_ref *r = buffer_ref_new(nullptr, gensym("busy"));
    t_buffer_obj *b = buffer_ref_getobject(r);
    ASSERT_NE(buffer_locksamples(b), nullptr);
    clear();
    sendSym(x, "loadBuffer", "busy");
    buffer_unlocksamples(b);
    object_free(r);
    EXPECT_EQ(texts().back(), "!Buffer read error.\n");
    EXPECT_FALSE(x->eng.fileLoaded);
}

TEST_F(Korvane, RefusesNonFiniteSamples) {
    t_korvane *x = make();
    std::vector<float> s(16, 0.5f);
    s[9] = std::numeric_limits<float>::quiet_NaN();
    buffer("nan", 2, s, 44100);
    clear();
    sendSym(x, "loadBuffer", "nan");
    EXPECT_EQ(texts(),
              (std::vector<std::string>{
                  "read buffer: 2 channels, 8 samples, 44100.000000 sr", "!Buffer read error.\n",
                  "!Error: buffer nan holds samples that are not finite numbers."}));
    EXPECT_FALSE(x->eng.fileLoaded);
    EXPECT_EQ(x->eng.sigL, nullptr);
}

// A buffer name is never taken as a format.
TEST_F(Korvane, NamesWithPercentSignsArePrintedAsTheyAre) {
    t_korvane *x = make();
    std::vector<float> s(4, 0.0f);
    s[1] = std::numeric_limits<float>::infinity();
    buffer("%s%n%d", 1, s, 44100);
    clear();
    sendSym(x, "loadBuffer", "%s%n%d");
    EXPECT_EQ(texts().back(), "!Error: buffer %s%n%d holds samples that are not finite numbers.");
}

TEST_F(Korvane, ZeroFrameBufferLoads) {
    t_korvane *x = make();
    maxhost::createBuffer("none", 1, 0, 44100);
    sendSym(x, "loadBuffer", "none");
    EXPECT_TRUE(x->eng.fileLoaded);
    EXPECT_EQ(x->eng.numSamples, 0);
}

TEST_F(Korvane, LoadOutOfMemoryKeepsEarlierSound) {
    t_korvane *x = make();
    buffer("a", 1, std::vector<float>(30, 0.1f), 44100);
    buffer("b", 2, std::vector<float>(40, 0.2f), 48000);
    sendSym(x, "loadBuffer", "a");
    clear();
    failAllocsAfter(1);  // channel 0 is allocated, channel 1 is not
    sendSym(x, "loadBuffer", "b");
    failAllocsAfter(-1);
    EXPECT_EQ(texts().back(), "!Error: out of memory.");
    EXPECT_STREQ(x->inBufName->s_name, "a");
    EXPECT_EQ(x->eng.numChannels, 1);
    EXPECT_EQ(x->eng.numSamples, 30);
    EXPECT_EQ(x->eng.sr, 44100.0);
}

// From the scheduler the load runs on the main thread afterwards.
TEST_F(Korvane, LoadFromSchedulerIsDeferred) {
    t_korvane *x = make();
    buffer("b", 1, std::vector<float>(12, 0.3f), 44100);
    clear();
    schedSym(x, "loadBuffer", "b");
    ASSERT_EQ(console.size(), 1u);
    EXPECT_TRUE(allOnMainThread());
    EXPECT_TRUE(x->eng.fileLoaded);
    EXPECT_EQ(x->eng.numSamples, 12);
}

}  // namespace
