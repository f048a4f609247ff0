// What a user types wrongly or asks beyond the sound: refused as a usage
// error with a hint, or run with a warning.
#include "tool.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <string>

using kvtest::Result;
using kvtest::runTool;

namespace {

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class Options : public ::testing::Test {
protected:
    kvtest::Scratch dir;
    void SetUp() override {
        ASSERT_TRUE(kvtest::writeSound(dir / "in.wav", kvtest::makeSound(1, 22050, 1.0, 0.5),
                                       SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    }
    Result run(const std::vector<std::string> &args) { return runTool(args, dir.path()); }
};

}  // namespace

// A range from high to low is a malformed list: usage error, nothing made,
// in decompose and in remix alike.
TEST_F(Options, DownwardRangesAreRefused) {
    Result r =
        run({"decompose", "in.wav", "-k", "3", "--seed", "1", "--group", "2-1", "-q", "-o", "out"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_TRUE(
        has(r.err, "korvane decompose: --group: '2-1' runs downwards; write the range as 1-2"))
        << r.err;
    EXPECT_FALSE(kvtest::exists(dir / "out"));
    r = run({"decompose", "in.wav", "-k", "3", "--only", "3-1", "-q", "-o", "out"});
    EXPECT_EQ(r.exitCode, 2) << r.err;

    ASSERT_EQ(run({"decompose", "in.wav", "-k", "3", "--seed", "1", "-q", "-o", "out"}).exitCode,
              0);
    r = run({"remix", "out", "--group", "3-2", "-q"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_TRUE(has(r.err, "'3-2' runs downwards")) << r.err;
}

// Options of every command a letter or two off, or with one dash too few,
// are named with the nearest the command takes; the parser's own text and
// the usage status stay.
TEST_F(Options, MistypedOptionsGetTheNearestName) {
    struct Case {
        std::vector<std::string> args;
        std::string want;
    };
    const Case cases[] = {
        {{"decompose", "in.wav", "--seeed", "3"},
         "korvane decompose: The following argument was not expected: --seeed; did you mean "
         "\"--seed\"?\n"},
        {{"decompose", "in.wav", "--itrations=30"}, "did you mean \"--iterations\"?"},
        {{"decompose", "in.wav", "-plot"}, "did you mean \"--plot\"?"},
        {{"remix", "out", "--grop", "1"}, "did you mean \"--group\"?"},
        {{"demo", "--ot", "x"}, "did you mean \"--out\"?"},
        {{"decompose", "in.wav", "--seeed", "3", "--hopp", "0.5"},
         "did you mean \"--seed\" for --seeed and \"--hop\" for --hopp?"},
    };
    for (const Case &c : cases) {
        Result r = run(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.args[1];
        EXPECT_TRUE(has(r.err, c.want)) << r.err;
    }
    // nothing near: the parser's text alone
    Result r = run({"decompose", "in.wav", "--frobnicate"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_FALSE(has(r.err, "did you mean")) << r.err;
}

// 23 frames cannot give 64 different components: the run still works, and
// says so (unless -q).
TEST_F(Options, MoreComponentsThanFramesAreWarnedOf) {
    ASSERT_TRUE(kvtest::writeSound(dir / "short.wav", kvtest::makeSound(1, 22050, 0.35, 0.5),
                                   SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    Result r = run(
        {"decompose", "short.wav", "-k", "64", "--seed", "1", "--iterations", "5", "-o", "out"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.err, "korvane decompose: warning: 64 components of a spectrogram of "))
        << r.err;
    EXPECT_TRUE(kvtest::exists(dir / "out/short-c64.wav"));
    r = run({"decompose", "short.wav", "-k", "64", "--seed", "1", "--iterations", "5", "-q", "-o",
             "out2"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    r = run({"decompose", "in.wav", "-k", "8", "--seed", "1", "--iterations", "5", "-o", "out3"});
    EXPECT_FALSE(has(r.err, "warning")) << r.err;
}

// A sound of 2000 Hz would make a page no browser plays: refused before
// any work, with the rate named; without --page it decomposes.
TEST_F(Options, PageOfASoundBelow3000HzIsRefused) {
    ASSERT_TRUE(kvtest::writeSound(dir / "low.wav", kvtest::makeSound(1, 2000, 2.0, 0.5),
                                   SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    Result r = run({"decompose", "low.wav", "-k", "2", "--seed", "1", "--page", "-q", "-o", "out"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(has(r.err, "--page: 'low.wav' has 2000 samples a second")) << r.err;
    EXPECT_FALSE(kvtest::exists(dir / "out"));
    r = run({"decompose", "low.wav", "-k", "2", "--seed", "1", "-q", "-o", "out"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
}
