// korvane~ as a user drives it: patch scripts run by `korvane run --trace`.
#include "scratch.hpp"
#include "sound_files.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kPcm16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

// channels and frames of a WAV file, from its fmt and data chunks
bool wavShape(const fs::path &p, int &channels, long &frames) {
    std::ifstream f(p, std::ios::binary);
    std::vector<unsigned char> d((std::istreambuf_iterator<char>(f)), {});
    auto u32 = [&](size_t i) {
        return d[i] | d[i + 1] << 8 | d[i + 2] << 16 | uint32_t(d[i + 3]) << 24;
    };
    int blockAlign = 0;
    for (size_t i = 12; i + 8 <= d.size(); i += 8 + u32(i + 4)) {
        std::string id(d.begin() + long(i), d.begin() + long(i) + 4);
        if (id == "fmt ") {
            channels = d[i + 10] | d[i + 11] << 8;
            blockAlign = d[i + 20] | d[i + 21] << 8;
        } else if (id == "data" && blockAlign > 0) {
            frames = long(u32(i + 4) / uint32_t(blockAlign));
            return true;
        }
    }
    return false;
}

struct Outcome {
    int status;
    std::vector<std::string> trace;  // one JSON object a line
};

class Patch : public ::testing::Test {
protected:
    kvtest::Scratch scratch;
    fs::path dir = scratch.path();
    void SetUp() override { fs::create_directories(dir / "out" / "demo"); }

    Outcome run(const fs::path &script) {
        std::string cmd = "cd '" + dir.string() + "' && '" KORVANE_EXE "' run '" + script.string() +
                          "' --plugins '" KV_PLUGIN_DIR "' --trace trace.jsonl > run.log 2>&1";
        Outcome r{std::system(cmd.c_str()), {}};
        std::ifstream t(dir / "trace.jsonl");
        for (std::string line; std::getline(t, line);) r.trace.push_back(line);
        return r;
    }
    Outcome runText(const std::string &text) {
        std::ofstream(dir / "patch.kvpatch") << text;
        return run(dir / "patch.kvpatch");
    }
    static size_t find(const std::vector<std::string> &t, const std::string &part,
                       size_t from = 0) {
        for (size_t i = from; i < t.size(); ++i)
            if (t[i].find(part) != std::string::npos) return i;
        return std::string::npos;
    }
    static size_t count(const std::vector<std::string> &t, const std::string &part) {
        size_t n = 0;
        for (const auto &l : t) n += l.find(part) != std::string::npos;
        return n;
    }
    // values in the atoms array of a list line
    static size_t atomCount(const std::string &line) {
        size_t a = line.find("\"atoms\":[");
        if (a == std::string::npos) return 0;
        size_t e = line.find(']', a);
        std::string inner = line.substr(a + 9, e - a - 9);
        if (inner.empty()) return 0;
        return size_t(std::count(inner.begin(), inner.end(), ',')) + 1;
    }
};

// The example of the project, with a short loop in place of the demo's.
TEST_F(Patch, TypicalExampleRuns) {
    std::vector<double> s(66150);
    for (size_t i = 0; i < s.size(); ++i) {
        double t = double(i) / 44100, beat = std::fmod(t, 0.5);
        s[i] = 0.6 * std::exp(-beat / 0.08) * std::sin(2 * M_PI * 60 * t) +
               0.2 * std::sin(2 * M_PI * 2500 * t) * (std::fmod(t, 0.25) < 0.05);
    }
    ASSERT_TRUE(kvtest::writeSound(dir / "out" / "demo" / "demo.wav", kPcm16, 1, 44100, s));
    Outcome r = run(fs::path(KV_SOURCE_DIR) / "examples" / "typical.kvpatch");
    ASSERT_EQ(r.status, 0);
    const auto &t = r.trace;
    size_t at = find(t, "read buffer: 1 channels, 66150 samples, 44100.000000 sr");
    ASSERT_NE(at, std::string::npos);
    at = find(t, "number of components set to 6", at);
    at = find(t, "winlength = 0.080000, FFTsize = 4096, hop = 1024, frames = 60", at);
    at = find(t, "STFT computed", at);
    at = find(t, "Factorizing sound with k=6...", at);
    at = find(t, "done.\\n", at);
    ASSERT_NE(at, std::string::npos);
    size_t firstList = find(t, "\"obj\":\"k\",\"outlet\":0,\"sel\":\"list\"");
    EXPECT_GT(firstList, at);
    EXPECT_EQ(count(t, "\"obj\":\"k\",\"outlet\":0,\"sel\":\"list\""), 6u);
    EXPECT_EQ(count(t, "\"obj\":\"k\",\"outlet\":1,\"sel\":\"list\""), 6u);
    EXPECT_EQ(atomCount(t[firstList]), 60u);
    EXPECT_EQ(atomCount(t[find(t, "\"obj\":\"k\",\"outlet\":1,\"sel\":\"list\"")]), 2049u);
    EXPECT_EQ(count(t, "\"obj\":\"k\",\"outlet\":2,\"sel\":\"bang\""), 1u);
    EXPECT_EQ(count(t, "\"console\":\"error\""), 0u);
    int channels = 0;
    long frames = 0;
    ASSERT_TRUE(wavShape(dir / "out" / "demo" / "drums_out.wav", channels, frames));
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(frames, 66150);
}

// A pair fed back from the scheduler and a bang from it: the lists and the
// bang come after the factorisation they belong to.
TEST_F(Patch, SchedulerMessagesKeepTheirOrder) {
    std::vector<double> s(2 * 4000);
    for (size_t i = 0; i < 4000; ++i) {
        s[2 * i] = 0.4 * std::sin(0.3 * double(i));
        s[2 * i + 1] = 0.3 * std::sin(0.05 * double(i));
    }
    ASSERT_TRUE(kvtest::writeSound(dir / "st.wav", kPcm16, 2, 8000, s));
    Outcome r = runText("buffer st st.wav\n"
                        "buffer st_out 1 10 8000\n"
                        "new k korvane~\n"
                        "new a kv_lsProd\n"
                        "new b kv_lsProd\n"
                        "connect k 0 a 1\nconnect k 1 b 1\nconnect a 0 k 1\nconnect b 0 k 2\n"
                        "send k 0 setWin 0.016\n"
                        "send k 0 loadBuffer st\n"
                        "send k 0 int 2\n"
                        "sched k 0 decomp\n"
                        "sched a 0 float 1.\n"
                        "sched b 0 float 1.\n"
                        "sched k 2 bang\n"
                        "write st_out st_out.wav\n");
    ASSERT_EQ(r.status, 0);
    size_t done = find(r.trace, "done.\\n");
    ASSERT_NE(done, std::string::npos);
    EXPECT_GT(find(r.trace, "\"obj\":\"k\",\"outlet\":0"), done);
    EXPECT_GT(find(r.trace, "\"obj\":\"k\",\"outlet\":2,\"sel\":\"bang\""), done);
    int channels = 0;
    long frames = 0;
    ASSERT_TRUE(wavShape(dir / "st_out.wav", channels, frames));
    EXPECT_EQ(channels, 2);  // the mono buffer~ was made stereo
    EXPECT_EQ(frames, 4000);
}

}  // namespace
