// Progress, quiet and verbose modes; the error cases; and runs that fail or
// are interrupted, which must leave no file behind.
#include "tool.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

using namespace kvtest;

namespace {

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// A short mono 16-bit test sound in the scratch folder.
void makeInput(const Scratch &dir, const std::string &name = "in.wav", double seconds = 1.5) {
    ASSERT_TRUE(writeSound(dir / name, makeSound(1, 22050, seconds, 0.4),
                           SF_FORMAT_WAV | SF_FORMAT_PCM_16));
}

}  // namespace

TEST(DecomposeModes, ProgressOnlyOnATerminalAndNeverWhenQuiet) {
    Scratch dir;
    makeInput(dir);

    // Standard error is a file: no progress, only the summary on stdout.
    Result plain = runTool({"decompose", "in.wav", "-k", "2", "-o", "p"}, dir.path());
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_EQ(plain.err, "");
    EXPECT_TRUE(has(plain.out, "2 components of in.wav in p/")) << plain.out;

    // On a terminal: one bar per iteration and one per component.
    Result tty = runToolOnTerminal(
        {"decompose", "in.wav", "-k", "2", "--iterations", "100", "--tol", "0", "-o", "t"},
        dir.path());
    ASSERT_EQ(tty.exitCode, 0) << tty.err;
    EXPECT_TRUE(has(tty.err, "factorising")) << tty.err;
    EXPECT_TRUE(has(tty.err, "] 1/100 ")) << tty.err;
    EXPECT_TRUE(has(tty.err, "] 100/100 ")) << tty.err;
    EXPECT_TRUE(has(tty.err, "resynthesising")) << tty.err;
    EXPECT_TRUE(has(tty.err, "] 2/2 ")) << tty.err;
    EXPECT_TRUE(has(tty.out, "2 components of in.wav in t/")) << tty.out;

    // Quiet on a terminal: nothing at all.
    Result quiet =
        runToolOnTerminal({"decompose", "in.wav", "-k", "2", "-o", "q", "-q"}, dir.path());
    ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(listDir(dir / "q").size(), 3u);
}

TEST(DecomposeModes, VerboseShowsEachStep) {
    Scratch dir;
    makeInput(dir);
    Result r = runTool({"decompose", "in.wav", "-k", "2", "-v"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "read buffer: 1 channels, 33075 samples, 22050.000000 sr")) << r.out;
    EXPECT_TRUE(has(r.out, "winlength = 0.080000, FFTsize = 2048, hop = 441, frames = 78"))
        << r.out;
    EXPECT_TRUE(has(r.out, "Factorizing sound with k=2...")) << r.out;
    // Without -v none of it shows.
    Result q = runTool({"decompose", "in.wav", "-k", "2", "-o", "again"}, dir.path());
    EXPECT_FALSE(has(q.out, "Factorizing")) << q.out;
}

TEST(DecomposeModes, BadInputsFailClearlyAndWriteNothing) {
    Scratch dir;
    makeInput(dir);
    std::ofstream(dir / "notes.wav") << "these are words, not samples\n";
    std::ofstream(dir / "empty.wav");
    mkdir((dir / "void").c_str(), 0777);  // a folder without sounds

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;    // part of the message on standard error
        std::string outDir;  // must not exist afterwards
    };
    std::vector<Case> cases = {
        {{"decompose", "missing.wav"},
         1,
         "cannot open 'missing.wav': No such file or directory",
         "missing"},
        {{"decompose", "void"}, 1, "void: holds no sound file libsndfile reads", ""},
        {{"decompose", "notes.wav"},
         1,
         "'notes.wav' is not a sound file that can be read",
         "notes"},
        {{"decompose", "empty.wav"},
         1,
         "'empty.wav' is not a sound file that can be read",
         "empty"},
        {{"decompose", "in.wav", "-k", "0"}, 2, "between 1 and 64, not 0", "in"},
        {{"decompose", "in.wav", "-k", "65"}, 2, "between 1 and 64, not 65", "in"},
        {{"decompose", "in.wav", "-k", "3", "--only", "4"},
         2,
         "--only: component 4 is out of range 1..3",
         "in"},
        {{"decompose", "in.wav", "--group", "1,x"},
         2,
         "--group: 'x' is not a component number",
         "in"},
        {{"decompose", "in.wav", "--win", "0"}, 2, "--win must be a positive", "in"},
        {{"decompose", "in.wav", "--hop", "1.5"}, 2, "--hop must be a fraction", "in"},
        {{"decompose", "in.wav", "-o", "notes.wav"},
         1,
         "'notes.wav' exists and is not a folder",
         "in"},
        // the engine is linked in: there is no plug-in to look for
        {{"decompose", "in.wav", "--plugins", "nowhere"}, 2, "--plugins", "in"},
    };
    // A file without read permission (root reads it all the same).
    if (geteuid() != 0) {
        std::ofstream(dir / "locked.wav") << "x";
        chmod((dir / "locked.wav").c_str(), 0);
        cases.push_back({{"decompose", "locked.wav"},
                         1,
                         "cannot read 'locked.wav': Permission denied",
                         "locked"});
    }
    for (const Case &c : cases) {
        Result r = runTool(c.args, dir.path());
        EXPECT_EQ(r.exitCode, c.status) << c.args[1] << " " << r.err;
        EXPECT_TRUE(has(r.err, c.says)) << r.err;
        EXPECT_EQ(r.out, "");
        if (!c.outDir.empty()) {
            EXPECT_FALSE(exists(dir / c.outDir)) << c.outDir;
        }
    }
}

TEST(DecomposeModes, RefusalsOfTheAnalysisAreShownInTheObjectsWords) {
    Scratch dir;
    makeInput(dir, "in.wav", 3.0);
    // A hop of the whole window leaves samples between frames uncovered; the
    // refusal gives the longest hop that works.
    Result r = runTool({"decompose", "in.wav", "--hop", "1"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(has(r.err, "the analysis was refused:\n"
                           "Error: hop leaves samples too thinly covered to resynthesise.\n"
                           "Use --hop 0."))
        << r.err;
    EXPECT_FALSE(exists(dir / "in"));

    // A sound shorter than one analysis frame is refused too. It holds 1102
    // samples: a window of 0.05 s would be 1103.
    makeInput(dir, "blip.wav", 0.05);
    Result s = runTool({"decompose", "blip.wav"}, dir.path());
    EXPECT_EQ(s.exitCode, 1);
    EXPECT_TRUE(has(s.err, "the analysis was refused:\n"
                           "Error: sound is too short for this window. Try one of the following:\n"
                           "Load a sound of at least 0.0800 s, or use --win 0.0499 or less.\n"))
        << s.err;
    EXPECT_FALSE(exists(dir / "blip"));
}

namespace {

// The figure a refusal suggests, read from its "--flag X or less".
std::string suggested(const std::string &err, const std::string &flag) {
    const size_t at = err.find(flag + " ");
    if (at == std::string::npos) return "";
    const size_t from = at + flag.size() + 1;
    return err.substr(from, err.find(' ', from) - from);
}

}  // namespace

TEST(DecomposeModes, TheHopOrWindowARefusalSuggestsIsAccepted) {
    Scratch dir;
    makeInput(dir, "in.wav", 1.0);
    // Rounded to the nearest, the longest hop of some windows came out just
    // above it, and was refused again.
    for (const char *win : {"0.05", "0.1", "0.0371", "0.001"}) {
        Result r = runTool({"decompose", "in.wav", "--win", win, "--hop", "1", "-q"}, dir.path());
        ASSERT_EQ(r.exitCode, 1);
        const std::string hop = suggested(r.err, "--hop");
        ASSERT_FALSE(hop.empty()) << r.err;
        Result ok = runTool({"decompose", "in.wav", "--win", win, "--hop", hop, "-k", "1",
                             "--iterations", "2", "-q", "-o", std::string("w") + win},
                            dir.path());
        EXPECT_EQ(ok.exitCode, 0) << win << ": " << ok.err;
    }

    // A sound of three samples takes a window of two or three; one of a
    // single sample fits none, and no window is suggested.
    ASSERT_TRUE(writeSound(dir / "three.wav", makeSound(1, 22050, 3.0 / 22050, 0.4),
                           SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    Result three = runTool({"decompose", "three.wav", "-q"}, dir.path());
    const std::string win = suggested(three.err, "--win");
    ASSERT_FALSE(win.empty()) << three.err;
    Result fits = runTool(
        {"decompose", "three.wav", "--win", win, "-k", "1", "--iterations", "2", "-q"}, dir.path());
    EXPECT_EQ(fits.exitCode, 0) << fits.err;
    ASSERT_TRUE(writeSound(dir / "one.wav", makeSound(1, 22050, 1.0 / 22050, 0.4),
                           SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    Result one = runTool({"decompose", "one.wav", "-q"}, dir.path());
    EXPECT_EQ(one.exitCode, 1);
    EXPECT_TRUE(has(one.err, "Load a sound of at least 0.0800 s.\n")) << one.err;
}

TEST(DecomposeModes, AnInterruptedRunLeavesNoFiles) {
    Scratch dir;
    makeInput(dir, "in.wav", 3.0);
    // Interrupted after two of six components are written under temporary
    // names: the folder it made goes again with them.
    Result r = runToolOnTerminal({"decompose", "in.wav", "-k", "6", "--plot", "-o", "fresh"},
                                 dir.path(), "] 2/6 ");
    EXPECT_EQ(r.signal, SIGINT) << r.err;
    EXPECT_FALSE(exists(dir / "fresh"));

    // In a folder that already holds something, only that stays.
    ASSERT_EQ(system(("mkdir " + dir / "kept").c_str()), 0);
    std::ofstream(dir / "kept/readme.txt") << "mine\n";
    Result k =
        runToolOnTerminal({"decompose", "in.wav", "-k", "6", "-o", "kept"}, dir.path(), "] 2/6 ");
    EXPECT_EQ(k.signal, SIGINT) << k.err;
    EXPECT_EQ(listDir(dir / "kept"), std::vector<std::string>{"readme.txt"});
}
