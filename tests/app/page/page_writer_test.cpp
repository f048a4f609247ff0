// The page writer on data made here: what it embeds must come back out as
// it went in, and nothing in it may reach outside the file.
#include "page/page.hpp"
#include "ogg_pages.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

namespace {

using korvane::PageData;
using nlohmann::json;

constexpr double kTwoPi = 6.283185307179586;

std::string readFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Text of the element with this id: from after its '>' to the next '<'.
std::string elementText(const std::string &html, const std::string &id) {
    size_t at = html.find("id=\"" + id + "\">");
    if (at == std::string::npos) return "";
    at = html.find('>', at) + 1;
    return html.substr(at, html.find("</script>", at) - at);
}

// K components of tones at 300, 600, ... Hz, each on in its own stretch of
// time, over a spectrogram that holds the same tones.
PageData tonePage(int K, int channels, int rate, long frames) {
    PageData d;
    d.title = "tones";
    d.dir = "out";
    d.sampleRate = rate;
    d.channels = d.originalChannels = channels;
    d.frames = frames;
    d.fftSize = 1024;
    d.hop = 256;
    d.bins = 513;
    d.frameCount = static_cast<int>(frames / d.hop);
    d.spectrogram.assign(static_cast<size_t>(d.bins) * d.frameCount, 1e-6);
    d.original.assign(static_cast<size_t>(frames) * channels, 0.0f);
    for (int k = 0; k < K; ++k) {
        korvane::PageComponent c;
        c.number = k + 1;
        double hz = 300.0 * (k + 1);
        int bin = static_cast<int>(std::lround(hz * d.fftSize / rate));
        c.basis.assign(static_cast<size_t>(d.bins), 0.0);
        c.basis[static_cast<size_t>(bin)] = 1;
        c.activation.assign(static_cast<size_t>(d.frameCount), 0.0);
        c.activation[static_cast<size_t>(d.frameCount * k / K)] = 2.0 * (k + 1);
        for (int t = 0; t < d.frameCount; ++t)
            d.spectrogram[static_cast<size_t>(bin) * d.frameCount + t] = 1;
        c.peakHz = c.centroidHz = bin * static_cast<double>(rate) / d.fftSize;
        c.samples.resize(static_cast<size_t>(frames) * channels);
        for (long i = 0; i < frames; ++i)
            for (int ch = 0; ch < channels; ++ch) {
                float v = static_cast<float>(0.2 * std::sin(kTwoPi * hz * i / rate) *
                                             (ch == 0 ? 1.0 : 0.5));
                c.samples[static_cast<size_t>(i) * channels + ch] = v;
                d.original[static_cast<size_t>(i) * channels + ch] += v;
            }
        d.components.push_back(std::move(c));
    }
    return d;
}

// Opus runs at 48 kHz: a sound at another rate is resampled, and the browser
// brings it back.
TEST(PageWriter, EmbeddedSoundsDecodeToWhatWentIn) {
    kvtest::Scratch dir;
    for (int rate : {48000, 22050}) {
        SCOPED_TRACE(std::to_string(rate) + " Hz");
        PageData d = tonePage(3, 2, rate, rate);
        std::string err;
        ASSERT_TRUE(korvane::writePage(dir / "index.html", d, err)) << err;
        std::string html = readFile(dir / "index.html");
        for (int n = 0; n <= 3; ++n) {
            SCOPED_TRACE("audio " + std::to_string(n));
            std::string ogg = kvtest::unbase64(elementText(html, "kv-audio-" + std::to_string(n)));
            ASSERT_GT(ogg.size(), 100u);
            const std::string path = dir / "a.ogg";
            std::ofstream(path, std::ios::binary) << ogg;
            kvtest::Sound s;
            ASSERT_TRUE(kvtest::readSound(path, s));
            EXPECT_EQ(s.channels, 2);
            const long sent = d.frames + korvane::kPagePadFrames;
            if (rate == 22050) {
                // the sound and the silence, resampled
                EXPECT_EQ(s.rate, 48000);
                EXPECT_NEAR(static_cast<double>(s.frames()), sent * 48000.0 / rate, 1.0);
                continue;
            }
            EXPECT_EQ(s.rate, rate);
            // Ogg Opus keeps the exact length: the sound, then the silence
            ASSERT_EQ(s.frames(), sent);
            // past the blocks that overlap the sound's cut-off end
            float tail = 0;
            for (long i = (d.frames + 4096) * 2; i < s.frames() * 2; ++i)
                tail = std::max(tail, std::fabs(s.samples[static_cast<size_t>(i)]));
            EXPECT_LT(tail, 1e-3f);
            const std::vector<float> &want =
                n == 0 ? d.original : d.components[static_cast<size_t>(n - 1)].samples;
            double sig = 0, noise = 0;
            for (size_t i = 0; i < want.size(); ++i) {
                sig += want[i] * want[i];
                noise += (want[i] - s.samples[i]) * (want[i] - s.samples[i]);
            }
            // lossy: a tone comes back about 20 dB above the coding noise
            EXPECT_GT(10 * std::log10(sig / noise), 18.0);
        }
    }
}

TEST(PageWriter, DataPlaceTonesAndActivationsOnTheGrid) {
    kvtest::Scratch dir;
    PageData d = tonePage(4, 1, 16000, 16000);
    std::string err;
    ASSERT_TRUE(korvane::writePage(dir / "index.html", d, err)) << err;
    json j = json::parse(elementText(readFile(dir / "index.html"), "kv-data"));
    const json &sgram = j["sgram"];
    const int rows = sgram["rows"], cols = sgram["cols"];
    const double fLo = sgram["fLo"], fHi = sgram["fHi"];
    EXPECT_EQ(fHi, 8000.0);
    EXPECT_EQ(cols, d.frameCount);
    std::string img = kvtest::unbase64(sgram["data"].get<std::string>());
    ASSERT_EQ(img.size(), static_cast<size_t>(rows) * cols);
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE("component " + std::to_string(k + 1));
        const json &c = j["components"][static_cast<size_t>(k)];
        double hz = d.components[static_cast<size_t>(k)].peakHz;
        // the row whose band holds the tone, from the grid's definition
        int row = static_cast<int>(std::floor(rows * std::log(hz / fLo) / std::log(fHi / fLo)));
        EXPECT_EQ(static_cast<unsigned char>(img[static_cast<size_t>(row) * cols]), 255);
        EXPECT_EQ(static_cast<unsigned char>(img[static_cast<size_t>(row + 3) * cols]), 0);
        EXPECT_EQ(c["basis"][static_cast<size_t>(row)], 1000);
        // each activation to its own peak: 1000 in the spike's column
        int spike = d.frameCount * k / 4;
        EXPECT_EQ(c["activation"][static_cast<size_t>(spike)], 1000);
        EXPECT_EQ(c["activation"][static_cast<size_t>(spike + 1)], 0);
        EXPECT_EQ(c["number"], k + 1);
    }
}

// A run's magnitudes are handed over as they are held, a plane a channel,
// and summed by the writer: the same image as their sum given whole.
TEST(PageWriter, MagnitudePlanesDrawTheImageOfTheirSum) {
    kvtest::Scratch dir;
    PageData d = tonePage(3, 2, 16000, 16000);
    for (double &v : d.spectrogram) v = static_cast<float>(v);  // halves of it are exact in float
    std::vector<float> planes(d.spectrogram.size() * 2);
    for (size_t i = 0; i < d.spectrogram.size(); ++i)
        planes[i] = planes[i + d.spectrogram.size()] = static_cast<float>(d.spectrogram[i] / 2);
    std::string err;
    ASSERT_TRUE(korvane::writePage(dir / "whole.html", d, err)) << err;
    d.spectrogram.clear();
    d.magnitudePlanes = planes.data();
    d.planeCount = 2;
    // the input already encoded: its samples are not needed
    ASSERT_TRUE(korvane::encodePageAudio(d.original.data(), d.frames, d.originalChannels,
                                         d.sampleRate, 48000, d.originalEncoded, err))
        << err;
    d.original.clear();
    ASSERT_TRUE(korvane::writePage(dir / "planes.html", d, err)) << err;
    const json whole = json::parse(elementText(readFile(dir / "whole.html"), "kv-data"));
    const json fromPlanes = json::parse(elementText(readFile(dir / "planes.html"), "kv-data"));
    EXPECT_EQ(fromPlanes["sgram"], whole["sgram"]);
    // the loudest cell is there
    EXPECT_NE(kvtest::unbase64(fromPlanes["sgram"]["data"].get<std::string>()).find('\xff'),
              std::string::npos);
    // neither planes nor a spectrogram: refused
    d.magnitudePlanes = nullptr;
    EXPECT_FALSE(korvane::writePage(dir / "none.html", d, err));
}

TEST(PageWriter, PageReachesNothingOutsideItselfAndTitlesCannotBreakIt) {
    kvtest::Scratch dir;
    PageData d = tonePage(2, 1, 8000, 8000);
    d.title = "</script><script>alert(1)</script> & \xff";
    d.dir = "it's here";
    std::string err;
    ASSERT_TRUE(korvane::writePage(dir / "index.html", d, err)) << err;
    std::string html = readFile(dir / "index.html");
    for (const char *outside : {"http:", "https:", "//cdn", " src=", " href=", "@import", "url("})
        EXPECT_EQ(html.find(outside), std::string::npos) << outside;
    EXPECT_NE(html.find("default-src 'none'"), std::string::npos);
    // the data, three sounds and the program: five scripts, however odd the title
    size_t scripts = 0;
    for (size_t at = html.find("<script"); at != std::string::npos;
         at = html.find("<script", at + 1))
        ++scripts;
    EXPECT_EQ(scripts, 5u);
    json j = json::parse(elementText(html, "kv-data"));
    EXPECT_EQ(j["title"].get<std::string>().substr(0, 9), "</script>");
    EXPECT_EQ(j["dir"], "it's here");
}

TEST(PageWriter, RefusesDataThatDoNotFitAndWritesNothing) {
    kvtest::Scratch dir;
    std::string err;
    PageData d = tonePage(2, 1, 8000, 8000);
    d.components[1].activation.pop_back();
    EXPECT_FALSE(korvane::writePage(dir / "a.html", d, err));
    EXPECT_NE(err.find("component 2"), std::string::npos) << err;
    d = tonePage(2, 1, 8000, 8000);
    d.spectrogram.clear();
    EXPECT_FALSE(korvane::writePage(dir / "b.html", d, err));
    d = tonePage(2, 1, 8000, 8000);
    d.components.clear();
    EXPECT_FALSE(korvane::writePage(dir / "c.html", d, err));
    EXPECT_TRUE(kvtest::listDir(dir.path()).empty());
}

}  // namespace
