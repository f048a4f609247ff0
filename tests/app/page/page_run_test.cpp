// `korvane decompose --page` as a user runs it: the page lands with the
// other files and carries the components the run wrote.
#include "tool.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <fstream>
#include <sstream>

namespace {

nlohmann::json pageData(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    std::string html = s.str();
    size_t at = html.find("id=\"kv-data\">");
    if (at == std::string::npos) return nullptr;
    at = html.find('>', at) + 1;
    return nlohmann::json::parse(html.substr(at, html.find("</script>", at) - at));
}

TEST(DecomposePage, CarriesTheWrittenComponentsBesideTheFiles) {
    kvtest::Scratch dir;
    ASSERT_TRUE(kvtest::writeSound(dir / "in.wav", kvtest::makeSound(2, 22050, 1.5, 0.5),
                                   SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    auto r = kvtest::runTool({"decompose", "in.wav", "-k", "3", "--only", "1,3", "--group", "1-2",
                              "--page", "-o", "out", "--seed", "1"},
                             dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("5 files"), std::string::npos) << r.out;
    EXPECT_EQ(kvtest::listDir(dir / "out"),
              (std::vector<std::string>{"components.json", "in-c01.wav", "in-c03.wav",
                                        "in-group.wav", "index.html"}));
    nlohmann::json d = pageData(dir / "out/index.html");
    ASSERT_FALSE(d.is_null());
    ASSERT_EQ(d["components"].size(), 2u);
    EXPECT_EQ(d["components"][0]["number"], 1);
    EXPECT_EQ(d["components"][1]["number"], 3);
    EXPECT_EQ(d["sampleRate"], 22050);
    EXPECT_EQ(d["channels"], 2);
    EXPECT_EQ(d["frames"], 33075);
    // the remix command works from wherever it is run
    EXPECT_EQ(d["dir"], std::filesystem::canonical(dir / "out").string());
}

TEST(DecomposePage, NamesWhereGivenBasesCameFrom) {
    kvtest::Scratch dir;
    ASSERT_TRUE(kvtest::writeSound(dir / "a.wav", kvtest::makeSound(1, 8000, 1.0, 0.5),
                                   SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_EQ(
        kvtest::runTool({"decompose", "a.wav", "-k", "2", "-o", "A", "-q"}, dir.path()).exitCode,
        0);
    auto r = kvtest::runTool({"decompose", "a.wav", "--bases", "A/components.json", "--extra", "1",
                              "--only", "2,3", "--page", "-o", "B", "-q"},
                             dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    nlohmann::json d = pageData(dir / "B/index.html");
    ASSERT_EQ(d["components"].size(), 2u);
    EXPECT_EQ(d["components"][0]["number"], 2);
    EXPECT_EQ(d["components"][0]["given"], "A/components.json, component 2");
    EXPECT_TRUE(d["components"][1]["given"].is_null());
}

TEST(DecomposePage, NotWrittenWithoutTheFlag) {
    kvtest::Scratch dir;
    ASSERT_TRUE(kvtest::writeSound(dir / "in.wav", kvtest::makeSound(1, 8000, 1.0, 0.5),
                                   SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    auto r = kvtest::runTool({"decompose", "in.wav", "-k", "2", "-o", "out", "-q"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(kvtest::exists(dir / "out/index.html"));
}

}  // namespace
