// Batches and the files they leave: a child killed outright, an interrupt,
// damaged sounds among good ones, reruns into the input's folder, and
// options that one input takes.
#include "tool.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace kvtest;
namespace fs = std::filesystem;

namespace {

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

void makeInput(const std::string &path, double seconds) {
    fs::create_directories(fs::path(path).parent_path());
    ASSERT_TRUE(writeSound(path, makeSound(1, 22050, seconds, 0.25), kWav16)) << path;
}

// Hidden entries anywhere under dir (staged files, staging folders).
std::vector<std::string> hiddenEntries(const std::string &dir) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->path().filename().string()[0] == '.') found.push_back(it->path().string());
    return found;
}

// The pid in the name of the first staging folder under dir, or 0.
pid_t stagingPid(const std::string &dir) {
    const std::string prefix = ".korvane-stage-";
    for (const std::string &p : hiddenEntries(dir)) {
        std::string name = fs::path(p).filename().string();
        if (name.rfind(prefix, 0) == 0)
            return static_cast<pid_t>(std::stol(name.substr(prefix.size())));
    }
    return 0;
}

// The process running in dir whose arguments hold args (the batch, not its
// children, which are given each input alone); 0 when there is none.
pid_t batchParent(const std::string &dir, const std::string &args) {
    std::error_code ec;
    for (const auto &e : fs::directory_iterator("/proc", ec)) {
        const std::string pid = e.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code cwdEc;
        if (fs::read_symlink(e.path() / "cwd", cwdEc) != fs::path(dir)) continue;
        if (readText((e.path() / "cmdline").string()).find(args) != std::string::npos)
            return static_cast<pid_t>(std::stol(pid));
    }
    return 0;
}

}  // namespace

TEST(FileSafety, Fault10_AChildKilledOutrightLeavesNoStagedFilesOrFolder) {
    Scratch dir;
    makeInput(dir / "in/long.wav", 30.0);
    makeInput(dir / "in/short.wav", 1.0);
    Result r;
    std::thread batch([&] {
        r = runTool({"decompose", "in", "-k", "16", "--jobs", "1", "-o", "out", "-q"}, dir.path());
    });
    pid_t child = 0;
    for (int i = 0; i < 6000 && !child; ++i) {
        child = stagingPid(dir / "out");
        if (!child) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(child, 0);
    kill(child, SIGKILL);  // as the OOM killer would
    batch.join();
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("in/long.wav: ended by signal 9"), std::string::npos) << r.err;
    EXPECT_EQ(hiddenEntries(dir / "out"), std::vector<std::string>{});
    EXPECT_FALSE(exists(dir / "out/in/long-wav")) << "its folder, made for it, goes too";
    EXPECT_TRUE(exists(dir / "out/in/short-wav/components.json"));
}

TEST(FileSafety, Fault10_AnInterruptedBatchLeavesNoFolderItMade) {
    Scratch dir;
    for (int i = 0; i < 4; ++i) makeInput(dir / ("long/s" + std::to_string(i) + ".wav"), 20.0);
    Result r;
    std::thread batch([&] {
        r = runTool({"decompose", "long", "-k", "8", "--jobs", "2", "-o", "cut/deeper", "-q"},
                    dir.path());
    });
    // interrupted once the runs have made their folders
    for (int i = 0; i < 6000 && !exists(dir / "cut/deeper/long"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const pid_t parent = batchParent(dir.path(), std::string("decompose\0long\0", 15));
    if (parent > 1) kill(parent, SIGINT);
    batch.join();
    ASSERT_GT(parent, 1);
    EXPECT_EQ(r.signal, SIGINT) << r.err;
    EXPECT_FALSE(exists(dir / "cut")) << "every folder the batch made was empty and goes";
}

TEST(FileSafety, Fault10_ASoundThatCannotBeReadIsNamedAndFailsTheBatch) {
    Scratch dir;
    makeInput(dir / "in/good.wav", 1.0);
    std::ofstream(dir / "in/empty.wav").close();
    std::ofstream(dir / "in/broken.aiff") << "FORM and then nothing useful";
    std::ofstream(dir / "in/noext") << "RIFF\x10\0\0\0WAVEjunk";
    std::ofstream(dir / "in/notes.txt") << "a plain note\n";
    Result r = runTool({"decompose", "in", "-k", "2", "-o", "out"}, dir.path());
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.out.find("Decomposed 1 of 4 inputs"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(1 file in the folders skipped: not sounds)"), std::string::npos)
        << r.out;
    const size_t summary = r.err.find("3 of 4 inputs failed:");
    ASSERT_NE(summary, std::string::npos) << r.err;
    for (const char *name :
         {"in/empty.wav: cannot be read as a sound", "in/broken.aiff: cannot be read as a sound",
          "in/noext: cannot be read as a sound"})
        EXPECT_NE(r.err.find(name, summary), std::string::npos) << name << "\n" << r.err;
    EXPECT_TRUE(exists(dir / "out/in/good-wav/components.json"));
}

TEST(FileSafety, Fault10_ARerunIntoTheInputsFolderSkipsEveryRunsFolder) {
    for (const std::string out : {".", "in"}) {
        SCOPED_TRACE(out);
        Scratch dir;
        makeInput(dir / "in/a.wav", 1.0);
        for (int run = 0; run < 2; ++run) {
            Result r = runTool({"decompose", "in", "-k", "2", "-o", out}, dir.path());
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_NE(r.out.find("Decomposed 1 of 1 input into"), std::string::npos)
                << run << ": " << r.out;
        }
    }
}

TEST(FileSafety, Fault10_OnlyWithGivenBasesActsTheSameForOneInputAndABatch) {
    Scratch dir;
    makeInput(dir / "a.wav", 1.0);
    makeInput(dir / "b.wav", 1.0);
    ASSERT_EQ(
        runTool({"decompose", "a.wav", "-k", "2", "-o", "learned", "-q"}, dir.path()).exitCode, 0);
    // 2 given and 2 free: component 4 exists
    const std::vector<std::string> opts = {"--bases", "learned", "--extra", "2",
                                           "--only",  "4",       "-q"};
    std::vector<std::string> one = {"decompose", "a.wav", "-o", "one"},
                             many = {"decompose", "a.wav", "b.wav"};
    one.insert(one.end(), opts.begin(), opts.end());
    many.insert(many.end(), opts.begin(), opts.end());
    Result r = runTool(one, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(exists(dir / "one/a-c04.wav"));
    r = runTool(many, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(exists(dir / "korvane-out/b-wav/b-c04.wav"));
    // and component 5 is refused by both, as a usage error
    one[one.size() - 2] = many[many.size() - 2] = "5";
    EXPECT_EQ(runTool(one, dir.path()).exitCode, 2);
    EXPECT_EQ(runTool(many, dir.path()).exitCode, 2);
}
