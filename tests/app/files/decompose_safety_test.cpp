// decompose and the files around it: records it did not write, an earlier
// run's files, its own input, a pipe where a record should be, an input
// changed during the run and one cut short.
#include "tool.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace kvtest;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

void writeText(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

void makeTone(const std::string &path, double seconds = 1.0) {
    ASSERT_TRUE(writeSound(path, makeSound(1, 22050, seconds, 0.25), kWav16)) << path;
}

// `korvane ARGS` in dir, given at most a minute: a hang shows as exit 124.
Result runBounded(const std::string &args, const std::string &dir) {
    const std::string out = dir + "/.bounded.out", err = dir + "/.bounded.err";
    std::string cmd = "cd '" + dir + "' && timeout 60 '" KORVANE_EXE "' " + args + " >'" + out +
                      "' 2>'" + err + "' </dev/null";
    int raw = std::system(cmd.c_str());
    Result r;
    r.exitCode = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readText(out);
    r.err = readText(err);
    unlink(out.c_str());
    unlink(err.c_str());
    return r;
}

// A folder's entries but the test runner's own (.lsan-fontconfig).
std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names = listDir(dir);
    names.erase(std::remove(names.begin(), names.end(), ".lsan-fontconfig"), names.end());
    return names;
}

}  // namespace

TEST(FileSafety, Fault1_ARecordTheToolDidNotWriteRemovesNothing) {
    for (const std::string record :
         {R"({"files":["tone.wav","notes.txt"]})",
          R"({"components":[{"file":"tone.wav"},{"file":"notes.txt"}]})"}) {
        SCOPED_TRACE(record);
        Scratch dir;
        makeTone(dir / "tone.wav");
        writeText(dir / "notes.txt", "mine");
        writeText(dir / "components.json", record);
        Result r = runTool({"decompose", "tone.wav", "-k", "2", "-o", ".", "-q"}, dir.path());
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("'./components.json' was not written by korvane"), std::string::npos)
            << r.err;
        EXPECT_EQ(entries(dir.path()),
                  (std::vector<std::string>{"components.json", "notes.txt", "tone.wav"}));
        EXPECT_EQ(readText(dir / "components.json"), record);
    }
}

TEST(FileSafety, Fault1_AComponentDecomposedIntoItsRunsFolderLeavesThatRunWhole) {
    Scratch dir;
    makeTone(dir / "loop.wav");
    ASSERT_EQ(
        runTool({"decompose", "loop.wav", "-k", "4", "-o", "nest", "-q"}, dir.path()).exitCode, 0);
    const std::vector<std::string> before = listDir(dir / "nest");
    const std::string record = readText(dir / "nest/components.json");
    Result r =
        runTool({"decompose", "nest/loop-c04.wav", "-k", "2", "-o", "nest", "-q"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("is the record of the run on 'loop.wav'"), std::string::npos) << r.err;
    EXPECT_EQ(listDir(dir / "nest"), before);
    EXPECT_EQ(readText(dir / "nest/components.json"), record);
}

TEST(FileSafety, Fault1_OnlyFilesStillAsWrittenAndNeverTheInputAreRemoved) {
    Scratch dir;
    makeTone(dir / "tone.wav");
    ASSERT_EQ(runTool({"decompose", "tone.wav", "-k", "4", "-o", "out", "-q"}, dir.path()).exitCode,
              0);
    json first = json::parse(readText(dir / "out/components.json"));
    EXPECT_EQ(first["generator"], "korvane");
    ASSERT_EQ(first["written"].size(), 4u);
    EXPECT_EQ(first["written"]["tone-c01.wav"][0], fs::file_size(dir / "out/tone-c01.wav"));

    // c03 changed since it was written; c04 is the next run's input itself
    writeText(dir / "out/tone-c03.wav", readText(dir / "out/tone-c03.wav") + "edited");
    ASSERT_EQ(mkdir((dir / "src").c_str(), 0777), 0);
    ASSERT_EQ(link((dir / "out/tone-c04.wav").c_str(), (dir / "src/tone.wav").c_str()), 0);
    Result r = runTool({"decompose", "src/tone.wav", "-k", "2", "-o", "out", "-q"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(listDir(dir / "out"),
              (std::vector<std::string>{"components.json", "tone-c01.wav", "tone-c02.wav",
                                        "tone-c03.wav", "tone-c04.wav"}));
    // and a file of a name the run writes that no record vouches for stays
    writeText(dir / "out/tone-c01.wav", "the user's now");
    const std::string record = readText(dir / "out/components.json");
    r = runTool({"decompose", "tone.wav", "-k", "2", "-o", "out", "-q"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("'out/tone-c01.wav' is in the way"), std::string::npos) << r.err;
    EXPECT_EQ(readText(dir / "out/tone-c01.wav"), "the user's now");
    EXPECT_EQ(readText(dir / "out/components.json"), record);
}

TEST(FileSafety, Fault6_AnInputChangedDuringTheRunIsNotCommitted) {
    Scratch dir;
    makeTone(dir / "long.wav", 30.0);
    const std::string original = readText(dir / "long.wav");
    Result r;
    std::thread run([&] {
        r = runTool({"decompose", "long.wav", "-k", "16", "-o", "out", "-q"}, dir.path());
    });
    // once the staging folder is there the input has been read
    bool staged = false;
    for (int i = 0; i < 6000 && !staged; ++i) {
        std::error_code ec;
        for (const auto &e : fs::directory_iterator(dir / "out", ec))
            if (e.path().filename().string().rfind(".korvane-stage-", 0) == 0) staged = true;
        if (!staged) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string changed = original;
    changed[changed.size() - 1] ^= 1;
    writeText(dir / "long.wav", changed);
    run.join();
    ASSERT_TRUE(staged);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("'long.wav' changed while it was decomposed"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(dir / "out"));
}

TEST(FileSafety, Fault7_APipeNamedComponentsJsonIsRefusedWithoutWaiting) {
    Scratch dir;
    makeTone(dir / "tone.wav");
    ASSERT_EQ(runTool({"decompose", "tone.wav", "-k", "2", "-o", "run", "-q"}, dir.path()).exitCode,
              0);
    ASSERT_EQ(mkdir((dir / "pipe").c_str(), 0777), 0);
    ASSERT_EQ(mkfifo((dir / "pipe/components.json").c_str(), 0666), 0);
    for (const std::string args :
         {"remix pipe --group 1", "remix pipe/components.json --group 1",
          "decompose tone.wav --bases pipe/components.json -q",
          "decompose tone.wav --bases pipe -q", "decompose tone.wav -k 2 -o pipe -q"}) {
        SCOPED_TRACE(args);
        Result r = runBounded(args, dir.path());
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_NE(r.err.find("pipe/components.json"), std::string::npos) << r.err;
    }
    EXPECT_EQ(listDir(dir / "pipe"), std::vector<std::string>{"components.json"});
}

TEST(FileSafety, Fault10_ATruncatedWavIsDecomposedWithAWarningNamingIt) {
    Scratch dir;
    makeTone(dir / "cut.wav", 1.0);
    fs::resize_file(dir / "cut.wav", fs::file_size(dir / "cut.wav") / 2);
    Result r = runTool({"decompose", "cut.wav", "-k", "2", "-q"}, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("korvane decompose: warning: 'cut.wav' is cut short"), std::string::npos)
        << r.err;
    // a whole file says nothing
    makeTone(dir / "whole.wav", 1.0);
    r = runTool({"decompose", "whole.wav", "-k", "2", "-q"}, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

TEST(FileSafety, Fault14_ThePagesRemixCommandNamesTheFolderFromAnywhere) {
    Scratch dir;
    ASSERT_EQ(mkdir((dir / "work").c_str(), 0777), 0);
    makeTone(dir / "work/tone.wav");
    ASSERT_EQ(runTool({"decompose", "tone.wav", "-k", "2", "--page", "-o", "../pages/tone", "-q"},
                      dir / "work")
                  .exitCode,
              0);
    const std::string page = readText(dir / "pages/tone/index.html");
    const std::string want = "\"dir\":\"" + fs::canonical(dir / "pages/tone").string() + "\"";
    EXPECT_NE(page.find(want), std::string::npos);
}
