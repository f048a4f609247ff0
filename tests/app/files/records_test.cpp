// Records given to --bases and remix that no run of korvane wrote: sizes
// whose products wrap, and nesting that would take many times the file's
// size to hold. Each is refused with the file named; nothing crashes.
#include "tool.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

using kvtest::Result;
using kvtest::runTool;
using nlohmann::json;

namespace {

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// The most memory, in KB, that `korvane ARGS` run in dir held resident.
[[maybe_unused]] long peakKilobytes(const std::vector<std::string> &args, const std::string &dir) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (chdir(dir.c_str()) != 0) _exit(127);
        std::vector<std::string> copy = args;
        std::vector<char *> argv{const_cast<char *>(KORVANE_EXE)};
        for (std::string &a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(KORVANE_EXE, argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage use {};
    wait4(pid, &status, 0, &use);
    return use.ru_maxrss;
}

void writeText(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A record as --bases reads it, with the sizes given.
json basesRecord(long long fft, long long bins, long long rows, int K) {
    json j = {{"sample_rate", 22050}, {"fft_size", fft}, {"bins", bins}, {"channel_mode", "sum"}};
    j["components"] = json::array();
    for (int k = 0; k < K; ++k) j["components"].push_back({{"number", k + 1}});
    j["factors"] = {{"rows", rows}, {"W", json::array()}};
    return j;
}

class Records : public ::testing::Test {
protected:
    kvtest::Scratch dir;
    void SetUp() override {
        ASSERT_TRUE(kvtest::writeSound(dir / "tone.wav", kvtest::makeSound(1, 22050, 0.5, 0.5),
                                       SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    }
    Result withBases(const json &record) {
        writeText(dir / "crafted.json", record.dump());
        return runTool({"decompose", "tone.wav", "--bases", "crafted.json", "-q", "-o", "out"},
                       dir.path());
    }
};

}  // namespace

// rows 2^62 of 4 components make rows x K wrap to 0, the size of an empty
// W; the same with sizes no analysis has, or with more components than a
// run may hold. Refused as damaged, the file named, nothing written.
TEST_F(Records, BasesWhoseSizesWrapOrExceedAnAnalysisAreRefused) {
    const long long big = 1LL << 62;
    for (const json &record :
         {basesRecord(big, big / 2, big, 4), basesRecord(2048, 1025, big, 4),
          basesRecord(2048, 1024, 2048, 4), basesRecord(2048, 1025, 1025, 100000)}) {
        SCOPED_TRACE(record["factors"].dump());
        Result r = withBases(record);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_TRUE(has(r.err, "'crafted.json'")) << r.err;
        EXPECT_FALSE(kvtest::exists(dir / "out"));
    }
}

// Two million nested arrays: refused after a few levels, the file named,
// by --bases and by remix alike, in far less memory than the 40-fold
// the whole tree would take (about 160 MB; the tool alone holds some 10).
TEST_F(Records, DeeplyNestedRecordsAreRefusedBeforeTheyAreBuilt) {
    const size_t depth = 2000000;
    std::filesystem::create_directories(dir / "deep");
    writeText(dir / "deep/components.json", std::string(depth, '[') + std::string(depth, ']'));
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's shadow and quarantine hide the peak
    EXPECT_LT(peakKilobytes({"remix", "deep", "--group", "1"}, dir.path()), 60 * 1024);
#endif
    Result remix = runTool({"remix", "deep", "--group", "1"}, dir.path());
    Result bases =
        runTool({"decompose", "tone.wav", "--bases", "deep/components.json", "-q"}, dir.path());
    for (const Result &r : {remix, bases}) {
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_TRUE(has(r.err, "'deep/components.json' nests arrays or objects deeper than"))
            << r.err;
    }
}
