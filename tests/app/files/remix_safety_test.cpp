// remix and run and the files they read and write: remix's own record, its
// earlier files and others', the two ways to name a record, a wrong input,
// damaged records, and a buffer read from a file that holds no sound.
#include "tool.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace kvtest;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

void writeText(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

// in.wav decomposed into run/ with four components.
void decomposed(const Scratch &dir) {
    ASSERT_TRUE(writeSound(dir / "in.wav", makeSound(1, 8000, 1.0, 0.5), kWav16));
    Result r =
        runTool({"decompose", "in.wav", "-k", "4", "--seed", "2", "-o", "run", "-q"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
}

}  // namespace

TEST(FileSafety, Fault14_RemixRecordsItsGroupsAndReplacesOnlyItsOwnFiles) {
    Scratch dir;
    decomposed(dir);
    const std::string record = readText(dir / "run/components.json");
    Result r = runTool({"remix", "run", "--group", "1,3", "--group", "2-4", "-q"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readText(dir / "run/components.json"), record)
        << "decompose's record stays as it wrote it";
    json j = json::parse(readText(dir / "run/remix.json"));
    EXPECT_EQ(j["generator"], "korvane");
    EXPECT_EQ(j["groups"], json::parse(R"([{"file":"in-group1.wav","components":[1,3]},
                                           {"file":"in-group2.wav","components":[2,3,4]}])"));
    EXPECT_EQ(j["record"], fs::canonical(dir / "run/components.json").string());
    ASSERT_EQ(j["written"].size(), 2u);

    // a later remix replaces its own earlier files, the record's too
    r = runTool({"remix", "run/components.json", "--group", "4", "-q"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(listDir(dir / "run"),
              (std::vector<std::string>{"components.json", "in-c01.wav", "in-c02.wav", "in-c03.wav",
                                        "in-c04.wav", "in-group.wav", "remix.json"}));
    // but not a file of the same name that it did not write
    fs::create_directories(dir / "mine");
    writeText(dir / "mine/in-group.wav", "the user's");
    r = runTool({"remix", "run", "--group", "1", "-o", "mine", "-q"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("'mine/in-group.wav' is in the way"), std::string::npos) << r.err;
    EXPECT_EQ(listDir(dir / "mine"), std::vector<std::string>{"in-group.wav"});
    EXPECT_EQ(readText(dir / "mine/in-group.wav"), "the user's");
}

TEST(FileSafety, Fault14_ARecordIsNamedByItsFolderOrItsPathAlike) {
    Scratch dir;
    decomposed(dir);
    ASSERT_TRUE(writeSound(dir / "other.wav", makeSound(1, 8000, 1.0, 0.3), kWav16));
    for (const char *bases : {"run", "run/", "run/components.json"}) {
        SCOPED_TRACE(bases);
        Result r =
            runTool({"decompose", "other.wav", "--bases", bases, "-o", "o", "-q"}, dir.path());
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    for (const char *record : {"run", "run/components.json"}) {
        SCOPED_TRACE(record);
        Result r = runTool({"remix", record, "--group", "1-2", "-o", "g", "-q"}, dir.path());
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
}

TEST(FileSafety, Fault14_AWrongInputOfAnotherSizeIsRefusedUnread) {
    Scratch dir;
    decomposed(dir);
    // a terabyte of holes: reading it through would take hours
    { std::ofstream(dir / "huge.wav").close(); }
    fs::resize_file(dir / "huge.wav", 1ull << 40);
    const std::string cmd = "cd '" + dir.path() +
                            "' && timeout 60 '" KORVANE_EXE
                            "' remix run --group 1 --input huge.wav -q 2>err.txt";
    int raw = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << raw;
    EXPECT_NE(readText(dir / "err.txt").find("now 1099511627776"), std::string::npos)
        << readText(dir / "err.txt");
}

TEST(FileSafety, Fault14_DamagedRecordsAreNamedWithoutTheLibrarysWords) {
    Scratch dir;
    decomposed(dir);
    json j = json::parse(readText(dir / "run/components.json"));
    j["factors"]["W"] = "x";  // text where the numbers belong
    fs::create_directories(dir / "bad");
    writeText(dir / "bad/components.json", j.dump());
    Result r = runTool({"remix", "bad", "--group", "1", "-o", "g"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("bad/components.json"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("json.exception"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("korvane remix: ", 0), 0u) << r.err;
}

TEST(FileSafety, Fault14_RunsBufferFromAFileWithoutSoundFails) {
    Scratch dir;
    // a WAV file with its header and no frames
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = kWav16;
    sf_close(sf_open((dir / "empty.wav").c_str(), SFM_WRITE, &info));
    writeText(dir / "script.kvpatch", "buffer b empty.wav\n");
    Result r = runTool({"run", "script.kvpatch"}, dir.path());
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("empty.wav"), std::string::npos) << r.err;
}
