// `korvane decompose` over many inputs: files and folders, a subfolder per
// input, failures that leave the others running, --jobs, and one plain
// input kept as it always was.
#include "json_files.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

using namespace kvtest;
namespace fs = std::filesystem;

namespace {

constexpr int kWav = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kFlac = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;

// A test sound of its own length, so that outputs can be told apart.
void makeInput(const std::string &path, double seconds, int format = kWav) {
    fs::create_directories(fs::path(path).parent_path());
    ASSERT_TRUE(writeSound(path, makeSound(1, 22050, seconds, 0.25), format)) << path;
}

long framesOf(const std::string &path) {
    Sound s;
    return readSound(path, s) ? s.frames() : -1;
}

using kvtest::readText;

std::string jsonInput(const std::string &folder) {
    const std::string path = folder + "/components.json";
    if (!kvtest::exists(path)) return "(none)";
    return kvtest::readJson(path)["input"].get<std::string>();
}

// Every folder under dir that holds a run's record, relative to dir, sorted.
std::vector<std::string> runFolders(const std::string &dir) {
    std::vector<std::string> found;
    if (!fs::is_directory(dir)) return found;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        if (e.path().filename() == "components.json")
            found.push_back(e.path().parent_path().lexically_relative(dir).string());
    std::sort(found.begin(), found.end());
    return found;
}

// Every file under dir with its bytes, by relative path; the records are
// left out, as they hold times and the folder.
std::map<std::string, std::string> soundFiles(const std::string &dir) {
    std::map<std::string, std::string> files;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && e.path().extension() == ".wav")
            files[e.path().lexically_relative(dir).string()] = readText(e.path().string());
    return files;
}

bool anyHiddenFile(const std::string &dir) {
    for (const auto &e : fs::recursive_directory_iterator(dir))
        if (e.path().filename().string()[0] == '.') return true;
    return false;
}

}  // namespace

TEST(Batch, OneFailingInputLeavesTheOthersDoneAndIsSummed) {
    Scratch dir;
    makeInput(dir / "first.wav", 1.0);
    std::ofstream(dir / "notes.wav") << "not a sound at all\n";
    makeInput(dir / "third.flac", 1.3, kFlac);
    for (const char *jobs : {"1", "2"}) {
        SCOPED_TRACE(jobs);
        Result r = runTool({"decompose", "first.wav", "notes.wav", "third.flac", "-k", "2",
                            "--jobs", jobs, "-o", "out"},
                           dir.path());
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(framesOf(dir / "out/first-wav/first-c01.wav"), 22050);
        EXPECT_EQ(framesOf(dir / "out/third-flac/third-c02.flac"), long(1.3 * 22050));
        EXPECT_FALSE(exists(dir / "out/notes-wav"));
        EXPECT_EQ(runFolders(dir / "out"), (std::vector<std::string>{"first-wav", "third-flac"}));
        EXPECT_FALSE(anyHiddenFile(dir / "out"));
        // the failure is told as it happens and again at the end
        EXPECT_NE(r.err.find("korvane decompose: notes.wav: 'notes.wav' is not a sound file"),
                  std::string::npos)
            << r.err;
        size_t summary = r.err.find("korvane decompose: 1 of 3 inputs failed:\n");
        ASSERT_NE(summary, std::string::npos) << r.err;
        EXPECT_NE(
            r.err.find("korvane decompose:   notes.wav: 'notes.wav' is not a sound file", summary),
            std::string::npos)
            << r.err;
        EXPECT_NE(r.out.find("] notes.wav failed\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Decomposed 2 of 3 inputs into out/\n"), std::string::npos) << r.out;
    }
}

TEST(Batch, SameNamesGetSeparateFolders) {
    Scratch dir;
    makeInput(dir / "loop.wav", 1.0);
    makeInput(dir / "loop.flac", 1.2, kFlac);
    makeInput(dir / "other/loop.wav", 1.4);
    Result r = runTool({"decompose", "loop.wav", "loop.flac", "other/loop.wav", "loop.wav", "-k",
                        "2", "-q", "-o", "out/"},
                       dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    // the same file twice is decomposed once
    EXPECT_EQ(runFolders(dir / "out"),
              (std::vector<std::string>{"loop-flac", "loop-wav", "loop-wav-2"}));
    EXPECT_EQ(jsonInput(dir / "out/loop-wav"), "loop.wav");
    EXPECT_EQ(jsonInput(dir / "out/loop-flac"), "loop.flac");
    EXPECT_EQ(jsonInput(dir / "out/loop-wav-2"), "other/loop.wav");
    EXPECT_EQ(framesOf(dir / "out/loop-flac/loop-c01.flac"), long(1.2 * 22050));
    EXPECT_EQ(framesOf(dir / "out/loop-wav-2/loop-c01.wav"), long(1.4 * 22050));
}

TEST(Batch, FoldersAreSearchedRecursivelyAndTheOutputIsNot) {
    Scratch dir;
    makeInput(dir / "kit/kick.wav", 1.0);
    makeInput(dir / "kit/toms/low/tom.aiff", 1.1, SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
    makeInput(dir / "kit/.hidden.wav", 1.0);
    makeInput(dir / "kit/.trash/gone.wav", 1.0);
    std::ofstream(dir / "kit/toms/readme.txt") << "tuned low\n";
    Result r = runTool({"decompose", "kit", "-k", "2", "--jobs", "2"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(runFolders(dir / "korvane-out"),
              (std::vector<std::string>{"kit/kick-wav", "kit/toms/low/tom-aiff"}));
    EXPECT_EQ(framesOf(dir / "korvane-out/kit/toms/low/tom-aiff/tom-c01.wav"), long(1.1 * 22050));
    EXPECT_NE(r.out.find("(1 file in the folders skipped: not sounds)"), std::string::npos)
        << r.out;

    // run twice from inside the folder: the default output folder now lies
    // in the input and is not taken for more input
    for (int round = 0; round < 2; ++round) {
        r = runTool({"decompose", ".", "-k", "2", "-q"}, dir / "kit");
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(runFolders(dir / "kit/korvane-out"),
                  (std::vector<std::string>{"kit/kick-wav", "kit/toms/low/tom-aiff"}));
    }

    r = runTool({"decompose", "kit/toms/low", "empty", "-k", "2", "-o", "out"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);  // a missing folder fails as a missing file does
    EXPECT_EQ(runFolders(dir / "out"), (std::vector<std::string>{"low/tom-aiff"}));
    fs::create_directory(dir / "void");
    r = runTool({"decompose", "void", "-k", "2", "-o", "out"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("korvane decompose:   void: holds no sound file libsndfile reads\n"),
              std::string::npos)
        << r.err;
    // failed runs leave no empty folders behind
    makeInput(dir / "tiny.wav", 0.01);
    r = runTool({"decompose", "tiny.wav", "void", "-k", "2", "-o", "none/deep"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(exists(dir / "none"));
    // a message of several lines is summed up whole
    EXPECT_NE(
        r.err.find(
            "korvane decompose:   tiny.wav: the analysis was refused: Error: sound is too short"),
        std::string::npos)
        << r.err;
}

TEST(Batch, OneJobOrTwoGiveTheSameFiles) {
    Scratch dir;
    makeInput(dir / "a.wav", 1.0);
    makeInput(dir / "b.wav", 1.2);
    makeInput(dir / "c/d.wav", 0.9);
    for (const char *jobs : {"1", "2"}) {
        Result r = runTool({"decompose", "a.wav", "b.wav", "c", "-k", "3", "--seed", "7", "--group",
                            "1,3", "--jobs", jobs, "-o", std::string("out") + jobs},
                           dir.path());
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    std::map<std::string, std::string> one = soundFiles(dir / "out1"),
                                       two = soundFiles(dir / "out2");
    EXPECT_EQ(one.size(), 3u * 4u);  // three components and the group, each
    ASSERT_EQ(one.size(), two.size());
    for (const auto &f : one)
        EXPECT_TRUE(two.count(f.first) && two[f.first] == f.second) << f.first;
}

TEST(Batch, OnePlainInputKeepsItsOwnFolderAndOutput) {
    Scratch dir;
    makeInput(dir / "loop.wav", 1.0);
    Result r = runTool({"decompose", "loop.wav", "-k", "2"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("2 components of loop.wav in loop/: 3 files (", 0), 0u) << r.out;
    EXPECT_EQ(runFolders(dir.path()), (std::vector<std::string>{"loop"}));
}

TEST(Batch, BadOptionsAreRefusedOnceBeforeAnyRun) {
    Scratch dir;
    makeInput(dir / "a.wav", 1.0);
    makeInput(dir / "b.wav", 1.0);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"decompose", "a.wav", "b.wav", "-k", "0"},
          {"decompose", "a.wav", "b.wav", "--only", "5", "-k", "2"},
          {"decompose", "a.wav", "b.wav", "--jobs", "-1"}}) {
        Result r = runTool(args, dir.path());
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_EQ(r.err.rfind("korvane decompose: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;  // one message
        EXPECT_FALSE(exists(dir / "korvane-out"));
    }
}

TEST(Batch, TerminalShowsTheRunningInputsAndAnInterruptLeavesNoTemporaries) {
    Scratch dir;
    makeInput(dir / "a.wav", 1.0);
    makeInput(dir / "b.wav", 1.0);
    Result r =
        runToolOnTerminal({"decompose", "a.wav", "b.wav", "-k", "2", "--jobs", "1"}, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("[0/2] a.wav"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[1/2] b.wav"), std::string::npos) << r.err;

    for (int i = 0; i < 6; ++i) makeInput(dir / ("long/s" + std::to_string(i) + ".wav"), 20.0);
    r = runToolOnTerminal({"decompose", "long", "-k", "8", "--jobs", "2", "-o", "cut"}, dir.path(),
                          "[0/6]");
    EXPECT_EQ(r.signal, SIGINT) << r.err;
    EXPECT_TRUE(!exists(dir / "cut") || !anyHiddenFile(dir / "cut"));
    // the interrupt reached the running inputs, which were seconds from done
    EXPECT_EQ(runFolders(dir / "cut").size(), 0u);
}
