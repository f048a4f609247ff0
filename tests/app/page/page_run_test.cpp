// `korvane decompose --page` as a user runs it: the page lands with the
// other files and carries the components the run wrote.
#include "ogg_pages.hpp"
#include "page/page.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <csignal>
#include <fstream>
#include <sstream>

namespace {

std::string readFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The page's sound n (0 the input, k the k-th component on it) as Ogg.
std::string pageOgg(const std::string &html, int n) {
    const std::string mark = "id=\"kv-audio-" + std::to_string(n) + "\">";
    size_t at = html.find(mark);
    if (at == std::string::npos) return "";
    at += mark.size();
    return kvtest::unbase64(html.substr(at, html.find('<', at) - at));
}

std::string pageSound(const std::string &html, int n) {
    return kvtest::oggWithoutSerials(pageOgg(html, n));
}

// samples encoded whole, as the page's writer would, serials aside
std::string encoded(const kvtest::Sound &s, int streams) {
    std::string ogg, err;
    const int bitrate =
        korvane::pageAudioBitrate(streams, static_cast<double>(s.frames()) / s.rate);
    EXPECT_TRUE(korvane::encodePageAudio(s.samples.data(), s.frames(), s.channels, s.rate, bitrate,
                                         ogg, err))
        << err;
    return kvtest::oggWithoutSerials(ogg);
}

nlohmann::json pageData(const std::string &path) {
    std::string html = readFile(path);
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

// The page's sounds are encoded while the files are written: each must be
// what its file holds, encoded whole, and the input as read.
TEST(DecomposePage, EmbedsTheInputAndEachComponentAsTheirSamples) {
    kvtest::Scratch dir;
    const kvtest::Sound in = kvtest::makeSound(2, 22050, 2.0, 0.5);
    ASSERT_TRUE(kvtest::writeSound(dir / "in.wav", in, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    auto r = kvtest::runTool({"decompose", "in.wav", "-k", "4", "--only", "2-4", "--group", "1,2",
                              "--format", "float", "--page", "-o", "out", "--seed", "1", "-q"},
                             dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string html = readFile(dir / "out/index.html");
    EXPECT_EQ(pageSound(html, 0), encoded(in, 4));
    for (int n = 2; n <= 4; ++n) {
        kvtest::Sound c;
        ASSERT_TRUE(kvtest::readSound(dir / ("out/in-c0" + std::to_string(n) + ".wav"), c));
        const std::string got = pageSound(html, n - 1);
        EXPECT_FALSE(got.empty());
        EXPECT_EQ(got, encoded(c, 4)) << "component " << n;
    }
}

// Every sound on the page is encoded at the one quality the page records,
// rated for the sounds it holds (the input and the chosen component: 200
// stream-seconds here, where all eleven would be 1100).
TEST(DecomposePage, EverySoundAtTheBitrateThePageRecords) {
    kvtest::Scratch dir;
    const kvtest::Sound in = kvtest::makeSound(1, 8000, 100.0, 0.5);
    ASSERT_TRUE(kvtest::writeSound(dir / "in.wav", in, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    auto r = kvtest::runTool({"decompose", "in.wav", "-k", "10", "--only", "1", "--format", "float",
                              "--iterations", "5", "--page", "-o", "out", "--seed", "1", "-q"},
                             dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string html = readFile(dir / "out/index.html");
    EXPECT_EQ(pageData(dir / "out/index.html")["audio"]["bitrate"],
              korvane::pageAudioBitrate(2, 100.0));
    EXPECT_NE(korvane::pageAudioBitrate(2, 100.0), korvane::pageAudioBitrate(11, 100.0));
    EXPECT_EQ(pageSound(html, 0), encoded(in, 2));
    kvtest::Sound c;
    ASSERT_TRUE(kvtest::readSound(dir / "out/in-c01.wav", c));
    EXPECT_EQ(pageSound(html, 1), encoded(c, 2));
}

// Components that would clip are written again with a common gain: the page
// carries the second pass, and the input once.
TEST(DecomposePage, CarriesTheScaledPassWhenTheComponentsWouldClip) {
    kvtest::Scratch dir;
    // at Opus's own rate, which the decoder gives back as it is
    const kvtest::Sound in = kvtest::makeSound(2, 48000, 2.0, 1.8);
    ASSERT_TRUE(kvtest::writeSound(dir / "in.wav", in, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    auto r = kvtest::runTool({"decompose", "in.wav", "-k", "2", "--format", "pcm16", "--page", "-o",
                              "out", "--seed", "1"},
                             dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_NE(r.out.find("would clip"), std::string::npos) << r.out;
    const std::string html = readFile(dir / "out/index.html");
    EXPECT_EQ(pageSound(html, 0), encoded(in, 3));
    for (int n = 1; n <= 2; ++n) {
        SCOPED_TRACE("component " + std::to_string(n));
        const std::string path = dir / "c.ogg";
        std::ofstream(path, std::ios::binary) << pageOgg(html, n);
        kvtest::Sound page, file;
        ASSERT_TRUE(kvtest::readSound(path, page));
        ASSERT_TRUE(kvtest::readSound(dir / ("out/in-c0" + std::to_string(n) + ".wav"), file));
        // the sound once, then the silence; at the file's level, not the first pass's
        ASSERT_EQ(page.frames(), in.frames() + korvane::kPagePadFrames);
        page.samples.resize(file.samples.size());
        EXPECT_LT(kvtest::relativeError(page, file), 0.2);
    }
}

// The page plays two channels at most: a sound of more carries its first
// two, the components as the input.
TEST(DecomposePage, ASoundOfThreeChannelsIsCarriedAsItsFirstTwo) {
    kvtest::Scratch dir;
    const kvtest::Sound in = kvtest::makeSound(3, 16000, 1.5, 0.5);
    ASSERT_TRUE(kvtest::writeSound(dir / "in.wav", in, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    auto r = kvtest::runTool(
        {"decompose", "in.wav", "-k", "2", "--format", "float", "--page", "-o", "out", "-q"},
        dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string html = readFile(dir / "out/index.html");
    EXPECT_EQ(pageData(dir / "out/index.html")["channels"], 2);
    for (int n = 0; n <= 2; ++n) {
        SCOPED_TRACE("sound " + std::to_string(n));
        kvtest::Sound file;
        ASSERT_TRUE(kvtest::readSound(
            n == 0 ? dir / "in.wav" : dir / ("out/in-c0" + std::to_string(n) + ".wav"), file));
        kvtest::Sound two = file;
        two.channels = 2;
        two.samples.clear();
        for (size_t i = 0; i < file.samples.size(); i += 3)
            two.samples.insert(two.samples.end(), {file.samples[i], file.samples[i + 1]});
        EXPECT_EQ(pageSound(html, n), encoded(two, 3));
    }
}

// A stop while the page's sounds are still being encoded leaves nothing.
TEST(DecomposePage, AStopWhileThePageIsEncodedLeavesNoFiles) {
    kvtest::Scratch dir;
    ASSERT_TRUE(kvtest::writeSound(dir / "in.wav", kvtest::makeSound(2, 44100, 12.0, 0.5),
                                   SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    auto r = kvtest::runToolOnTerminal(
        {"decompose", "in.wav", "-k", "6", "--page", "-o", "out", "--iterations", "5"}, dir.path(),
        "encoding page");
    EXPECT_EQ(r.signal, SIGINT) << r.err;
    EXPECT_FALSE(kvtest::exists(dir / "out"));
}

}  // namespace
