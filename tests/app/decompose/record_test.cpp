// components.json as a record of the run: what it says of the run and its
// input, its layout, and that a folder's earlier run is replaced as a set.
#include "files/compact_json.hpp"
#include "files/file_hash.hpp"
#include "json_files.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

using namespace kvtest;
using json = nlohmann::json;

namespace {

constexpr int kRate = 22050;

using kvtest::readText;

void writeText(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST(DecomposeRecord, FileHashIsFnv1a64OfTheBytes) {
    Scratch dir;
    // published FNV-1a 64 test vectors
    const std::pair<std::string, std::string> cases[] = {
        {"", "cbf29ce484222325"}, {"a", "af63dc4c8601ec8c"}, {"foobar", "85944171f73967e8"}};
    for (const auto &c : cases) {
        writeText(dir / "f", c.first);
        korvane::FileFingerprint fp;
        std::string err;
        ASSERT_TRUE(korvane::fingerprintFile(dir / "f", fp, err)) << err;
        EXPECT_EQ(fp.size, c.first.size());
        EXPECT_EQ(korvane::hashText(fp.hash), c.second) << c.first;
    }
    // larger than one read, and one changed byte changes the hash
    std::string big(200000, 'x');
    writeText(dir / "f", big);
    korvane::FileFingerprint a, b;
    std::string err;
    ASSERT_TRUE(korvane::fingerprintFile(dir / "f", a, err));
    big[150000] = 'y';
    writeText(dir / "f", big);
    ASSERT_TRUE(korvane::fingerprintFile(dir / "f", b, err));
    EXPECT_EQ(a.size, 200000u);
    EXPECT_NE(a.hash, b.hash);
    EXPECT_FALSE(korvane::fingerprintFile(dir / "missing", a, err));
    EXPECT_NE(err.find("missing"), std::string::npos);
}

TEST(DecomposeRecord, CompactLayoutReadsBackTheSameValues) {
    using ojson = nlohmann::ordered_json;
    const std::vector<double> awkward = {
        0.1, 1.0 / 3, -2.5e-300, 5e-324, 1.7976931348623157e308, -0.0, 123456789.125};
    ojson j = {{"name", "a \"quoted\"\nname"},
               {"values", awkward},
               {"empty", ojson::array()},
               {"nested", {{"list", {1, 2, 3}}, {"none", nullptr}}},
               {"objects", {{{"k", 1}, {"v", {0.5, 0.25}}}, {{"k", 2}, {"v", ojson::array()}}}}};
    std::string text = korvane::dumpCompact(j);
    ojson back = ojson::parse(text);
    EXPECT_EQ(back, j);
    for (size_t i = 0; i < awkward.size(); ++i)
        EXPECT_TRUE(sameBits(back["values"][i].get<double>(), awkward[i])) << i;
    // each plain array on its own single line; objects one member a line
    EXPECT_NE(text.find("\n  \"values\": [0.1,"), std::string::npos) << text;
    EXPECT_NE(text.find("\n    \"list\": [1,2,3],\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n      \"v\": [0.5,0.25]\n"), std::string::npos) << text;
}

TEST(DecomposeRecord, CompactArraysOfNumbersAreNlohmannsTextStreamedOrNot) {
    using ojson = nlohmann::ordered_json;
    std::vector<double> many(300000);  // several megabytes of text: written in parts
    for (size_t i = 0; i < many.size(); ++i)
        many[i] = std::ldexp(1.0 + static_cast<double>(i) / 7, static_cast<int>(i % 90) - 45);
    const std::vector<double> odd = {2.0, -0.0, 1e21, 1e-7, std::nan(""), -INFINITY, 0.0};
    ojson j = {{"many", many}, {"odd", odd}, {"mixed", {1.5, 2, -3}}};
    const std::string text = korvane::dumpCompact(j);
    EXPECT_EQ(text, "{\n  \"many\": " + j["many"].dump() + ",\n  \"odd\": " + j["odd"].dump() +
                        ",\n  \"mixed\": [1.5,2,-3]\n}");
    EXPECT_NE(text.find("[2.0,-0.0,1e+21,1e-07,null,null,0.0]"), std::string::npos);
    std::ostringstream streamed;
    korvane::dumpCompact(streamed, j);
    EXPECT_EQ(streamed.str(), text);
}

TEST(DecomposeRecord, RecordsTheRunItsInputAndEachComponentsPeakAndShare) {
    Scratch dir;
    ASSERT_TRUE(writeSound(dir / "tone.wav", makeSound(1, kRate, 1.5, 0.25),
                           SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    Result r = runTool({"decompose", "tone.wav", "-k", "3", "--plot", "-q"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string text = readText(dir / "tone/components.json");
    json j = json::parse(text);

    EXPECT_EQ(j["version"], KV_VERSION);
    korvane::FileFingerprint fp;
    std::string err;
    ASSERT_TRUE(korvane::fingerprintFile(dir / "tone.wav", fp, err));
    struct stat st;
    ASSERT_EQ(stat((dir / "tone.wav").c_str(), &st), 0);
    EXPECT_EQ(j["input_size"], static_cast<unsigned long long>(st.st_size));
    EXPECT_EQ(j["input_hash"], korvane::hashText(fp.hash));

    EXPECT_TRUE(j["iterations_run"].is_number_integer());
    EXPECT_GE(j["iterations_run"].get<int>(), 0);
    EXPECT_TRUE(j["divergence"].is_number() || j["divergence"].is_null());
    EXPECT_TRUE(j["start"].is_string() && !j["start"].get<std::string>().empty());
    EXPECT_TRUE(j["channel_mode"] == "sum" || j["channel_mode"] == "stack") << j["channel_mode"];
    EXPECT_TRUE(j["mask"].is_string());
    EXPECT_GT(j["common_gain"].get<double>(), 0.0);
    EXPECT_LE(j["common_gain"].get<double>(), 1.0);
    EXPECT_TRUE(j["seed_used"].is_number_unsigned());
    EXPECT_EQ(j["files"], json({"tone-c01.wav", "tone-c02.wav", "tone-c03.wav", "decomposition.png",
                                "components.json"}));
    EXPECT_EQ(listDir(dir / "tone"),
              (std::vector<std::string>{"components.json", "decomposition.png", "tone-c01.wav",
                                        "tone-c02.wav", "tone-c03.wav"}));

    // peak: the bin of the basis's largest value; shares add up to 1
    const double binHz = static_cast<double>(kRate) / j["fft_size"].get<double>();
    double shares = 0;
    for (const json &c : j["components"]) {
        const json &w = c["basis"];
        size_t best = 0;
        for (size_t b = 1; b < w.size(); ++b)
            if (w[b].get<double>() > w[best].get<double>()) best = b;
        EXPECT_DOUBLE_EQ(c["peak_hz"].get<double>(), best * binHz) << c["number"];
        double share = c["energy_share"].get<double>();
        EXPECT_GE(share, 0.0);
        EXPECT_LE(share, 1.0);
        shares += share;
    }
    EXPECT_NEAR(shares, 1.0, 1e-9);

    // every plain array on one line
    for (const char *key :
         {"\"bin_frequencies\": [", "\"frame_times\": [", "\"basis\": [", "\"activation\": ["}) {
        size_t at = text.find(key);
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_LT(text.find(']', at), text.find('\n', at)) << key;
    }
    size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    EXPECT_LT(lines, 130u) << "one line per field and array";
}

TEST(DecomposeRecord, ARepeatWithTheRecordedSeedGivesTheSameComponents) {
    Scratch dir;
    ASSERT_TRUE(writeSound(dir / "tone.wav", makeSound(1, kRate, 1.5, 0.25),
                           SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_EQ(runTool({"decompose", "tone.wav", "-k", "2", "-o", "a", "-q"}, dir.path()).exitCode,
              0);
    json first = readJson(dir / "a/components.json");
    const std::string seed = std::to_string(first["seed_used"].get<unsigned>());
    ASSERT_EQ(
        runTool({"decompose", "tone.wav", "-k", "2", "--seed", seed, "-o", "b", "-q"}, dir.path())
            .exitCode,
        0);
    json second = readJson(dir / "b/components.json");
    EXPECT_EQ(second["seed_used"], first["seed_used"]);
    EXPECT_EQ(second["components"], first["components"]);
}

TEST(DecomposeRecord, AnEarlierRunsFilesAreReplacedAsASet) {
    Scratch dir;
    ASSERT_TRUE(writeSound(dir / "tone.wav", makeSound(1, kRate, 1.5, 0.25),
                           SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    Result r =
        runTool({"decompose", "tone.wav", "-k", "6", "--group", "1-2", "--plot", "-o", "out", "-q"},
                dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    writeText(dir / "out/notes.txt", "mine");
    writeText(dir / "out/tone-c07.wav", "not the tool's");
    const std::vector<std::string> six = {"components.json", "decomposition.png", "notes.txt",
                                          "tone-c01.wav",    "tone-c02.wav",      "tone-c03.wav",
                                          "tone-c04.wav",    "tone-c05.wav",      "tone-c06.wav",
                                          "tone-c07.wav",    "tone-group.wav"};
    ASSERT_EQ(listDir(dir / "out"), six);
    const std::string sixRecord = readText(dir / "out/components.json");

    // runs that fail leave the earlier set as it was
    writeText(dir / "noise.wav", "not a sound");
    EXPECT_NE(
        runTool({"decompose", "noise.wav", "-k", "3", "-o", "out", "-q"}, dir.path()).exitCode, 0);
    EXPECT_NE(
        runTool({"decompose", "tone.wav", "-k", "3", "--only", "5", "-o", "out", "-q"}, dir.path())
            .exitCode,
        0);
    EXPECT_EQ(listDir(dir / "out"), six);
    EXPECT_EQ(readText(dir / "out/components.json"), sixRecord);

    r = runTool({"decompose", "tone.wav", "-k", "3", "-o", "out", "-q"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(listDir(dir / "out"),
              (std::vector<std::string>{"components.json", "notes.txt", "tone-c01.wav",
                                        "tone-c02.wav", "tone-c03.wav", "tone-c07.wav"}));
    EXPECT_EQ(readText(dir / "out/notes.txt"), "mine");
    EXPECT_EQ(readJson(dir / "out/components.json")["components"].size(), 3u);
}

TEST(DecomposeRecord, ARecordNeverRemovesWhatLiesOutsideItsFolderOrIsNoFile) {
    Scratch dir;
    ASSERT_TRUE(writeSound(dir / "tone.wav", makeSound(1, kRate, 1.0, 0.25),
                           SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_EQ(mkdir((dir / "out").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((dir / "out/sub").c_str(), 0777), 0);
    writeText(dir / "victim.txt", "outside");
    writeText(dir / "out/sub/inner.txt", "inside a folder");
    ASSERT_EQ(symlink("../victim.txt", (dir / "out/link.txt").c_str()), 0);
    writeText(
        dir / "out/components.json",
        R"({"files": ["../victim.txt", "sub/inner.txt", "sub", "link.txt", ".", "..", "", 7, "old.wav"]})");
    writeText(dir / "out/old.wav", "listed, but not by the tool");
    Result r = runTool({"decompose", "tone.wav", "-k", "2", "-o", "out", "-q"}, dir.path());
    // a record the tool did not write is no record: the run is refused
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(listDir(dir / "out"),
              (std::vector<std::string>{"components.json", "link.txt", "old.wav", "sub"}));
    EXPECT_TRUE(exists(dir / "victim.txt"));
    EXPECT_TRUE(exists(dir / "out/sub/inner.txt"));
}
