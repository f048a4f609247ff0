// Inputs a later remix must find again: a sound piped in on standard input
// ("-") and file names that are not UTF-8.
#include "tool.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <string>

using kvtest::Result;
using kvtest::runTool;
using nlohmann::json;

namespace {

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// A shell line run in dir; its exit status, standard error in err.
int shell(const kvtest::Scratch &dir, const std::string &line, std::string &err) {
    const std::string cmd = "cd '" + dir.path() + "' && " + line + " 2> stderr.txt";
    const int st = std::system(cmd.c_str());
    err = kvtest::readText(dir / "stderr.txt");
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

json record(const std::string &path) {
    std::ifstream f(path);
    return json::parse(f);
}

}  // namespace

// "-" reads the sound from a pipe or a redirected file: the same components
// bit for bit as from the file, named stdin-cNN in stdin/, the record's
// input "-"; no temporary file is left; remix then asks for --input and
// checks it against what was read.
TEST(Names, StandardInputIsDecomposedAndRemixedWithInput) {
    kvtest::Scratch dir;
    ASSERT_TRUE(kvtest::writeSound(dir / "in.wav", kvtest::makeSound(2, 22050, 1.0, 0.5),
                                   SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_EQ(
        runTool({"decompose", "in.wav", "-k", "2", "--seed", "4", "-q", "-o", "ref"}, dir.path())
            .exitCode,
        0);
    std::string err;
    const std::string tool = std::string("TMPDIR='") + (dir / "tmp") + "' " + KORVANE_EXE;
    ASSERT_EQ(shell(dir, "mkdir tmp", err), 0);
    ASSERT_EQ(shell(dir, "cat in.wav | " + tool + " decompose - -k 2 --seed 4 -q", err), 0) << err;
    ASSERT_EQ(shell(dir, tool + " decompose - -k 2 --seed 4 -q -o redirected < in.wav", err), 0)
        << err;
    for (const char *folder : {"stdin", "redirected"})
        for (const char *file : {"-c01.wav", "-c02.wav"})
            EXPECT_EQ(kvtest::readText(dir / (std::string(folder) + "/stdin" + file)),
                      kvtest::readText(dir / (std::string("ref/in") + file)))
                << folder << file;
    EXPECT_TRUE(kvtest::listDir(dir / "tmp").empty());
    const json j = record(dir / "stdin/components.json");
    EXPECT_EQ(j["input"], "-");
    EXPECT_TRUE(j["input_absolute"].is_null());
    EXPECT_EQ(j["input_hash"], record(dir / "ref/components.json")["input_hash"]);

    Result r = runTool({"remix", "stdin", "--group", "1,2", "-q"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(has(r.err, "standard input; --input names the file it came from")) << r.err;
    r = runTool({"remix", "stdin", "--group", "1,2", "--input", "in.wav", "-q"}, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(kvtest::exists(dir / "stdin/stdin-group.wav"));

    // "-" beside other inputs, and what is no sound
    EXPECT_EQ(shell(dir, tool + " decompose - in.wav -q < in.wav", err), 2) << err;
    EXPECT_EQ(shell(dir, "echo hello | " + tool + " decompose - -q -o text", err), 1);
    EXPECT_TRUE(has(err, "standard input")) << err;
    EXPECT_FALSE(has(err, "/proc/")) << err;
}

// A name of Latin-1 bytes: the record shows it as text and keeps its bytes,
// so that remix finds the input again, here and from another folder.
TEST(Names, NonUtf8NamesAreFoundAgainByRemix) {
    kvtest::Scratch dir;
    const std::string name = "caf\xe9 \xff.wav";
    ASSERT_TRUE(kvtest::writeSound(dir / name, kvtest::makeSound(1, 22050, 1.0, 0.5),
                                   SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    Result r =
        runTool({"decompose", name, "-k", "2", "--seed", "1", "-q", "-o", "out"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json j = record(dir / "out/components.json");
    EXPECT_EQ(j["input_hex"], "636166e920ff2e776176");
    r = runTool({"remix", "out", "--group", "1,2", "-q"}, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(kvtest::exists(dir / "out/caf\xe9 \xff-group.wav"));
    r = runTool({"remix", dir / "out", "--group", "2", "-q", "-o", dir / "again"}, "/");
    EXPECT_EQ(r.exitCode, 0) << r.err;
}
