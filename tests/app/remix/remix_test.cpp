// `korvane remix` against `korvane decompose`: the same groups from the
// record alone, the input checked before anything is made, and where the
// files land.
#include "json_files.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <fstream>

using namespace kvtest;
using json = nlohmann::json;

namespace {

Sound load(const std::string &path) {
    Sound s;
    EXPECT_TRUE(readSound(path, s)) << path;
    return s;
}

Sound sumOf(const std::string &dir, const std::string &name, const std::vector<int> &comps) {
    return sumOfSounds(componentPaths(dir, name, comps));
}

// A decomposition with two groups to remix: "run/NAME-group1.wav" is 1,3
// and "run/NAME-group2.wav" 2,4.
void decomposeWithGroups(const Scratch &dir, const std::string &file,
                         const std::vector<std::string> &extra) {
    std::vector<std::string> args = {"decompose", file,       "-k",    "4",       "--seed",
                                     "5",         "--format", "float", "--group", "1,3",
                                     "--group",   "2,4",      "-o",    "run",     "-q"};
    args.insert(args.end(), extra.begin(), extra.end());
    Result r = runTool(args, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
}

}  // namespace

TEST(Remix, EveryGroupEqualsTheSumOfItsComponentsAndTheRemixEqualsDecompose) {
    struct Case {
        int channels;
        std::vector<std::string> args;
    } cases[] = {{1, {}},
                 {2, {"--channels", "stack"}},
                 {2, {"--channels", "sum", "--hop", "0.5"}},
                 {2, {"--precision", "double"}}};  // the remix in the record's precision
    for (const Case &c : cases) {
        Scratch dir;
        ASSERT_TRUE(writeSound(dir / "in.wav", makeSound(c.channels, 8000, 1.2, 0.5),
                               SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        decomposeWithGroups(dir, "in.wav", c.args);
        json j = readJson(dir / "run/components.json");
        EXPECT_EQ(j["group_files"], json({"in-group1.wav", "in-group2.wav"}));
        EXPECT_EQ(j["settings"]["groups"], json({{1, 3}, {2, 4}}));
        // the resynthesis is linear in the masks: a group is its components'
        // sum up to the rounding of the float files
        EXPECT_LT(relativeError(load(dir / "run/in-group1.wav").samples,
                                sumOf(dir / "run", "in", {1, 3}).samples),
                  1e-6);
        EXPECT_LT(relativeError(load(dir / "run/in-group2.wav").samples,
                                sumOf(dir / "run", "in", {2, 4}).samples),
                  1e-6);

        // the groups in the other order, from elsewhere; the same factors and
        // input give the same samples, bit for bit
        Result r = runTool({"remix", dir / "run", "--group", "2,4", "--group", "1,3", "--format",
                            "float", "-o", dir / "again", "-q"},
                           "/");
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(listDir(dir / "again"),
                  (std::vector<std::string>{"in-group1.wav", "in-group2.wav", "remix.json"}));
        EXPECT_EQ(load(dir / "again/in-group1.wav").samples,
                  load(dir / "run/in-group2.wav").samples);
        EXPECT_EQ(load(dir / "again/in-group2.wav").samples,
                  load(dir / "run/in-group1.wav").samples);
    }
}

// The record names the filter its files were cut with, and remix cuts the
// same way; a record from before the spatial filter (no "mask") gets the
// masks it was made with.
TEST(Remix, CutsAsTheRecordSaysAndOlderRecordsWithTheMasks) {
    Scratch dir;
    ASSERT_TRUE(
        writeSound(dir / "in.wav", makeSound(2, 8000, 1.2, 0.5), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    decomposeWithGroups(dir, "in.wav", {});
    EXPECT_EQ(readJson(dir / "run/components.json")["mask"], "spatial");
    Result m = runTool({"decompose", "in.wav", "-k", "4", "--seed", "5", "--format", "float",
                        "--group", "1,3", "--filter", "masks", "-o", "masks", "-q"},
                       dir.path());
    ASSERT_EQ(m.exitCode, 0) << m.err;
    EXPECT_EQ(readJson(dir / "masks/components.json")["mask"], "ratio");
    const auto spatial = load(dir / "run/in-group1.wav").samples,
               masks = load(dir / "masks/in-group.wav").samples;
    EXPECT_GT(relativeError(spatial, masks), 1e-3) << "two ways of cutting";
    json j = readJson(dir / "run/components.json");
    j.erase("mask");
    std::ofstream(dir / "run/components.json") << j.dump();
    Result r = runTool({"remix", "run", "--group", "1,3", "--format", "float", "-o", "old", "-q"},
                       dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(load(dir / "old/in-group.wav").samples, masks);
}

// The record keeps the power of the shares its masks were made of, and
// remix makes the same masks; an older record without it gets plain shares,
// and a power out of range is refused as damage.
TEST(Remix, MakesTheRecordsMaskPower) {
    Scratch dir;
    ASSERT_TRUE(
        writeSound(dir / "in.wav", makeSound(1, 8000, 1.2, 0.5), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    decomposeWithGroups(dir, "in.wav", {"--pool", "0"});
    Result plain = runTool({"decompose", "in.wav", "-k", "4", "--seed", "5", "--format", "float",
                            "--pool", "0", "--plain", "--group", "1,3", "-o", "plain", "-q"},
                           dir.path());
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_EQ(readJson(dir / "plain/components.json")["factors"]["mask_power"], 1.0);
    json j = readJson(dir / "run/components.json");
    EXPECT_EQ(j["factors"]["mask_power"], 1.5);
    const auto sharp = load(dir / "run/in-group1.wav").samples;
    auto remix = [&](const json &rec, const std::string &out) {
        std::ofstream(dir / "run/components.json") << rec.dump();
        return runTool({"remix", "run", "--group", "1,3", "--format", "float", "-o", out, "-q"},
                       dir.path());
    };
    Result r = remix(j, "same");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(load(dir / "same/in-group.wav").samples, sharp);
    json old = j;
    old["factors"].erase("mask_power");
    r = remix(old, "old");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_GT(relativeError(load(dir / "old/in-group.wav").samples, sharp), 1e-3);
    for (const json &bad : {json(0.5), json(5.0), json("1.5"), json(nullptr)}) {
        json d = j;
        d["factors"]["mask_power"] = bad;
        r = remix(d, "bad");
        EXPECT_EQ(r.exitCode, 1) << bad;
        EXPECT_NE(r.err.find("its mask power is not a number from 1 to 4 (the record is damaged)"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("run/components.json"), std::string::npos) << r.err;
    }
}

TEST(Remix, ByDefaultWritesIntoTheRunsFolderWithItsOwnRecord) {
    Scratch dir;
    ASSERT_TRUE(
        writeSound(dir / "in.wav", makeSound(1, 8000, 1.0, 0.5), SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    decomposeWithGroups(dir, "in.wav", {});
    Result r = runTool({"remix", "run", "--group", "1-4"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("1 group of ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("in.wav in run/ (resynthesis "), std::string::npos) << r.out;
    // a 16-bit input: same format is 16-bit; all four components give the input
    Sound all = load(dir / "run/in-group.wav");
    EXPECT_EQ(all.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_LT(relativeError(all.samples, load(dir / "in.wav").samples), 1e-3);  // 16-bit rounding
    json j = readJson(dir / "run/remix.json");
    EXPECT_EQ(j["groups"][0]["file"], "in-group.wav");
    // a later decompose into the folder replaces its own files and leaves the remix's
    ASSERT_EQ(runTool({"decompose", "in.wav", "-k", "2", "-o", "run", "-q"}, dir.path()).exitCode,
              0);
    EXPECT_EQ(listDir(dir / "run"),
              (std::vector<std::string>{"components.json", "in-c01.wav", "in-c02.wav",
                                        "in-group.wav", "remix.json"}));
}

TEST(Remix, RefusesAChangedOrMissingInputAndWritesNothing) {
    Scratch dir;
    Sound in = makeSound(1, 8000, 1.0, 0.5);
    ASSERT_TRUE(writeSound(dir / "in.wav", in, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    decomposeWithGroups(dir, "in.wav", {});
    const std::vector<std::string> before = listDir(dir / "run");

    in.samples[100] += 0.25f;  // same size, other bytes
    ASSERT_TRUE(writeSound(dir / "in.wav", in, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    Result r = runTool({"remix", "run", "--group", "1"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("korvane remix: '", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("in.wav' changed since it was decomposed"), std::string::npos) << r.err;

    ASSERT_EQ(std::rename((dir / "in.wav").c_str(), (dir / "moved.wav").c_str()), 0);
    r = runTool({"remix", "run", "--group", "1"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("in.wav' of the run is missing"), std::string::npos) << r.err;
    EXPECT_EQ(listDir(dir / "run"), before);

    // a pipe in its place is refused without waiting on it
    ASSERT_EQ(mkfifo((dir / "pipe.wav").c_str(), 0600), 0);
    r = runTool({"remix", "run", "--input", "pipe.wav", "--group", "1"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("'pipe.wav' is not a regular file"), std::string::npos) << r.err;

    // the original, moved, is found through --input
    in.samples[100] -= 0.25f;
    ASSERT_TRUE(writeSound(dir / "moved.wav", in, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    r = runTool({"remix", "run", "--input", "moved.wav", "--group", "1", "-o", "m", "-q"},
                dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(listDir(dir / "m"), (std::vector<std::string>{"in-group.wav", "remix.json"}));
}

TEST(Remix, UsageErrorsExit2AndDamagedRecordsExit1) {
    Scratch dir;
    ASSERT_TRUE(
        writeSound(dir / "in.wav", makeSound(1, 8000, 1.0, 0.5), SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    decomposeWithGroups(dir, "in.wav", {});
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"remix", "run"}, 2, "korvane remix: at least one --group is needed"},
        {{"remix", "run", "--group", "1,5"},
         2,
         "korvane remix: --group: component 5 is out of range 1..4"},
        {{"remix", "run", "--group", "1", "--format", "mp3"}, 2, "korvane remix: --format"},
        {{"remix", "nowhere", "--group", "1"},
         1,
         "korvane remix: cannot read 'nowhere/components.json'"},
    };
    for (const Case &c : cases) {
        Result r = runTool(c.args, dir.path());
        EXPECT_EQ(r.exitCode, c.status) << c.args[1];
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
    }
    // a record without the factors, or with one value cut from H
    json j = readJson(dir / "run/components.json");
    j["factors"]["H"].erase(j["factors"]["H"].size() - 1);
    std::ofstream(dir / "run/components.json") << j.dump();
    Result r = runTool({"remix", "run", "--group", "1"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the record is damaged"), std::string::npos) << r.err;
    j.erase("factors");
    std::ofstream(dir / "run/components.json") << j.dump();
    r = runTool({"remix", "run", "--group", "1"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("decompose the sound again"), std::string::npos) << r.err;
}
