// --format: what "same" keeps of the input, FLAC files, and the common gain
// of the integer formats.
#include "json_files.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

using namespace kvtest;
using json = nlohmann::json;

TEST(Format, SameKeepsTheInputsSampleFormatWhereItCanBeWritten) {
    struct Case {
        const char *file;
        int in, out;  // libsndfile formats
        const char *ext, *label;
    } cases[] = {
        {"a.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, SF_FORMAT_WAV | SF_FORMAT_PCM_24, ".wav",
         "wav-pcm24"},
        {"b.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, SF_FORMAT_WAV | SF_FORMAT_PCM_16, ".wav",
         "wav-pcm16"},
        {"c.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, SF_FORMAT_WAV | SF_FORMAT_FLOAT, ".wav",
         "wav-float"},
        {"d.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, ".flac",
         "flac-24"},
        {"e.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, ".flac",
         "flac-16"},
        // the container is WAV but for FLAC; what cannot be kept is 24-bit
        {"f.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, SF_FORMAT_WAV | SF_FORMAT_PCM_16, ".wav",
         "wav-pcm16"},
        {"g.wav", SF_FORMAT_WAV | SF_FORMAT_ULAW, SF_FORMAT_WAV | SF_FORMAT_PCM_24, ".wav",
         "wav-pcm24"},
        {"h.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, SF_FORMAT_WAV | SF_FORMAT_PCM_24, ".wav",
         "wav-pcm24"},
        {"i.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, SF_FORMAT_WAV | SF_FORMAT_PCM_24, ".wav",
         "wav-pcm24"},
    };
    Scratch dir;
    for (const Case &c : cases) {
        ASSERT_TRUE(writeSound(dir / c.file, makeSound(1, 8000, 0.5, 0.5), c.in)) << c.file;
        const std::string name = std::string(c.file).substr(0, 1);
        Result r =
            runTool({"decompose", c.file, "-k", "2", "--iterations", "10", "--group", "1,2", "-q"},
                    dir.path());
        ASSERT_EQ(r.exitCode, 0) << c.file << ": " << r.err;
        for (const std::string &f : {name + "-c01" + c.ext, name + "-group" + c.ext}) {
            Sound s;
            ASSERT_TRUE(readSound(dir / name + "/" + f, s)) << f;
            EXPECT_EQ(s.format, c.out) << f;
        }
        json j = readJson(dir / name + "/components.json");
        EXPECT_EQ(j["file_format"], c.label) << c.file;
        EXPECT_EQ(j["components"][1]["file"], name + "-c02" + c.ext) << c.file;
        EXPECT_EQ(j["settings"]["format"], "same");
    }
}

TEST(Format, FlacHoldsThe24BitSamplesAndIntegerFormatsShareOneGain) {
    Scratch dir;
    // over full scale, as a float file may be: the group of both components
    // is the input, so it would clip in any integer format
    ASSERT_TRUE(
        writeSound(dir / "in.wav", makeSound(2, 8000, 1.0, 2.5), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    const std::vector<std::string> run = {"decompose", "in.wav", "-k",      "2",
                                          "--seed",    "2",      "--group", "1-2"};
    std::vector<std::string> flac = run, pcm24 = run, same = run;
    for (auto *args : {&flac, &pcm24, &same})
        args->insert(args->end(), {"-o", args == &flac ? "f" : args == &pcm24 ? "p" : "s"});
    flac.insert(flac.end(), {"--format", "flac"});
    pcm24.insert(pcm24.end(), {"--format", "pcm24"});
    Result f = runTool(flac, dir.path()), p = runTool(pcm24, dir.path());
    ASSERT_EQ(f.exitCode, 0) << f.err;
    ASSERT_EQ(p.exitCode, 0) << p.err;
    EXPECT_EQ(f.out.rfind("The components would clip: every file is scaled by", 0), 0u) << f.out;
    EXPECT_EQ(f.out.substr(0, f.out.find('\n')), p.out.substr(0, p.out.find('\n')));
    for (const char *file : {"in-c01", "in-c02", "in-group"}) {
        Samples<int> flacFile = readSamples<int>(dir / "f/" + file + ".flac"),
                     pcmFile = readSamples<int>(dir / "p/" + file + ".wav");
        const SF_INFO &fi = flacFile.info, &pi = pcmFile.info;
        const std::vector<int> &a = flacFile.samples, &b = pcmFile.samples;
        EXPECT_EQ(fi.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
        EXPECT_EQ(pi.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
        EXPECT_EQ(fi.channels, 2);
        ASSERT_EQ(a.size(), b.size());
        // libsndfile rounds floats to 24 bits for FLAC and truncates for WAV:
        // at most one step (256 in the top-aligned ints) apart
        int worst = 0;
        for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
        EXPECT_LE(worst, 256) << file;
    }
    // float never clips: a float input stays float, unscaled, over full scale
    Result s = runTool(same, dir.path());
    ASSERT_EQ(s.exitCode, 0) << s.err;
    EXPECT_EQ(s.out.find("scaled"), std::string::npos) << s.out;
    EXPECT_EQ(readJson(dir / "s/components.json")["common_gain"], 1.0);
    Sound group;
    ASSERT_TRUE(readSound(dir / "s/in-group.wav", group));
    EXPECT_GT(*std::max_element(group.samples.begin(), group.samples.end()), 1.2f);
}

TEST(Format, UnknownFormatIsAUsageError) {
    Scratch dir;
    for (const char *cmd : {"decompose", "remix"}) {
        Result r = runTool({cmd, "x", "--group", "1", "--format", "pcm8"}, dir.path());
        EXPECT_EQ(r.exitCode, 2) << cmd;
        EXPECT_EQ(r.err.rfind(std::string("korvane ") + cmd + ": --format", 0), 0u) << r.err;
    }
}
