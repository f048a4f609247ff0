// Long sounds: read from the file pass by pass, a run gives the files of
// the same run on the sound held in memory, bit for bit; and the stop on a
// tolerance, checked on a sample of the frames.
#include "json_files.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

using namespace kvtest;
using json = nlohmann::json;

namespace {

using kvtest::readText;

Result runStreamed(const std::vector<std::string> &args, const std::string &dir,
                   const char *above) {
    setenv("KORVANE_STREAM_ABOVE", above, 1);
    Result r = runTool(args, dir);
    unsetenv("KORVANE_STREAM_ABOVE");
    return r;
}

json record(const std::string &dir) {
    return readJson(dir + "/components.json");
}

}  // namespace

TEST(DecomposeStream, StreamedAndHeldRunsWriteTheSameFiles) {
    Scratch dir;
    struct Case {
        int channels, format;
        std::vector<std::string> args;
    } cases[] = {
        {2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, {"--group", "1-2"}},
        {1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, {"--format", "float", "--channels", "sum"}},
        {1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, {"--plot"}},
    };
    int n = 0;
    for (const Case &c : cases) {
        const bool flac = (c.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC;
        const std::string in = "in" + std::to_string(n++) + (flac ? ".flac" : ".wav");
        ASSERT_TRUE(writeSound(dir / in, makeSound(c.channels, 8000, 4.0, 0.4), c.format));
        std::vector<std::string> args = {"decompose", in, "-k", "3", "--seed", "4", "-q", "-o"};
        args.push_back("held-" + in);  // a folder of each input's own
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result held = runStreamed(args, dir.path(), "1e12");
        ASSERT_EQ(held.exitCode, 0) << held.err;
        args[8] = "streamed-" + in;
        Result streamed = runStreamed(args, dir.path(), "0");
        ASSERT_EQ(streamed.exitCode, 0) << streamed.err;
        const std::string heldDir = dir / ("held-" + in), streamedDir = dir / ("streamed-" + in);
        const std::vector<std::string> files = listDir(heldDir);
        ASSERT_EQ(listDir(streamedDir), files);
        for (const std::string &f : files) {
            Sound a, b;  // float WAV files carry the time they were written
            if (readSound(heldDir + "/" + f, a) && readSound(streamedDir + "/" + f, b)) {
                EXPECT_TRUE(a.samples == b.samples && a.format == b.format) << in << ": " << f;
            } else if (f == "components.json") {
                json h = record(heldDir), st = record(streamedDir);
                h.erase("written");  // the files' times of writing
                st.erase("written");
                EXPECT_TRUE(h == st) << in;
            } else {
                EXPECT_TRUE(readText(heldDir + "/" + f) == readText(streamedDir + "/" + f))
                    << in << ": " << f;
            }
        }
    }
}

TEST(DecomposeStream, PageOfAStreamedSoundIsRefusedClearly) {
    Scratch dir;
    ASSERT_TRUE(
        writeSound(dir / "in.wav", makeSound(1, 8000, 1.0, 0.4), SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    Result r = runStreamed({"decompose", "in.wav", "-k", "2", "--page"}, dir.path(), "0");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("leave out --page"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(dir / "in"));
}

// A steady tone in one component settles at once: the sampled check stops
// the rounds on bands within the first checks (the Kullback-Leibler rounds
// move the SVD's start for 20 rounds, then the divergence holds to 5e-6;
// one row a bin's continuity takes a check more),
// and the 10 on every bin follow; a tolerance of 0 runs every round (the
// default model's 115 relaxed ones and the 10); a looser one stops no later
// than a tighter one.
TEST(DecomposeStream, TheToleranceStopsASettledRunAtTheFirstChecks) {
    Scratch dir;
    Sound tone = makeSound(1, 8000, 3.0, 0.5);
    for (long i = 0; i < tone.frames(); ++i)
        tone.samples[size_t(i)] = float(0.5 * std::sin(0.3 * double(i)));
    ASSERT_TRUE(writeSound(dir / "tone.wav", tone, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    auto roundsRun = [&](const std::string &tol, const std::string &k, const std::string &in) {
        Result r = runTool(
            {"decompose", in, "-k", k, "--seed", "2", "-q", "--tol", tol, "-o", "out-" + in},
            dir.path());
        EXPECT_EQ(r.exitCode, 0) << r.err;
        json j = record(dir / ("out-" + in));
        EXPECT_TRUE(j["divergence"].is_number());
        return j["iterations_run"].get<int>();
    };
    EXPECT_LE(roundsRun("1e-4", "1", "tone.wav"), 50);
    EXPECT_EQ(roundsRun("0", "1", "tone.wav"), 125);
    ASSERT_TRUE(
        writeSound(dir / "mix.wav", makeSound(2, 8000, 6.0, 0.5), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    const int tight = roundsRun("1e-6", "4", "mix.wav"), loose = roundsRun("0.2", "4", "mix.wav");
    EXPECT_LE(loose, tight);
    EXPECT_EQ(loose % 10, 0);
    EXPECT_LT(loose, 115);
}
