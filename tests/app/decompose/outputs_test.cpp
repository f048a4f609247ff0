// What `korvane decompose` writes: file names and formats, the JSON record,
// and that the components of a full decomposition add up to the input as
// the object's analysis and resynthesis pass it.
#include "json_files.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <cmath>
#include <fstream>

using namespace kvtest;
using json = nlohmann::json;

namespace {

// The padded analysis at 22050 Hz with the default window (0.08 s) and hop
// (a quarter): a window of 1764 samples zero-padded to N = 2048, hop =
// 1764/4 = 441; frames start lead = 3 hops before the sound and run on while
// their windows overlap it, so a 1.5 s sound (33075 samples) gives
// ceil((33075 + 1323) / 441) = 78 frames.
constexpr int kRate = 22050;
constexpr double kSeconds = 1.5;
constexpr int kWindow = 1764, kN = 2048, kHop = 441, kFrames = 78, kBins = kN / 2 + 1;

std::vector<double> channel(const Sound &s, int c) {
    std::vector<double> v(static_cast<size_t>(s.frames()));
    for (long i = 0; i < s.frames(); ++i)
        v[static_cast<size_t>(i)] = s.samples[static_cast<size_t>(i * s.channels + c)];
    return v;
}

// The ratio masks of all components sum to one in every cell and the
// inverse STFT is normalised by the overlap sum of the squared window, so
// the components add up to the input over the whole file, first and last
// samples included, up to the float rounding of the files.
void expectSumIsTheInput(const Sound &input, const Sound &sum) {
    ASSERT_EQ(sum.channels, input.channels);
    ASSERT_EQ(sum.frames(), input.frames());
    for (int c = 0; c < input.channels; ++c) {
        std::vector<double> want = channel(input, c), got = channel(sum, c);
        EXPECT_LT(relativeError(got, want), 1e-6) << "channel " << c;
        for (long i : {0L, 1L, input.frames() - 1})
            EXPECT_NEAR(got[static_cast<size_t>(i)], want[static_cast<size_t>(i)], 1e-6)
                << "sample " << i;
    }
}

}  // namespace

TEST(DecomposeOutputs, MonoFloatWritesEveryComponentGroupAndRecord) {
    Scratch dir;
    Sound in = makeSound(1, kRate, kSeconds, 0.25);
    ASSERT_TRUE(writeSound(dir / "tone.wav", in, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    Result r = runTool({"decompose", "tone.wav", "-k", "3", "--format", "float", "--group", "1-3",
                        "--seed", "7", "-q"},
                       dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listDir(dir / "tone"),
              (std::vector<std::string>{"components.json", "tone-c01.wav", "tone-c02.wav",
                                        "tone-c03.wav", "tone-group.wav"}));

    for (const char *name : {"tone-c01.wav", "tone-c02.wav", "tone-c03.wav", "tone-group.wav"}) {
        Sound s;
        ASSERT_TRUE(readSound(dir / "tone" + "/" + name, s)) << name;
        EXPECT_EQ(s.channels, 1) << name;
        EXPECT_EQ(s.rate, kRate) << name;
        EXPECT_EQ(s.frames(), in.frames()) << name;
        EXPECT_EQ(s.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT) << name;
    }

    json j = readJson(dir / "tone/components.json");
    EXPECT_EQ(j["settings"]["components"], 3);
    EXPECT_EQ(j["settings"]["seed"], 7);
    EXPECT_EQ(j["sample_rate"], kRate);
    EXPECT_EQ(j["channels"], 1);
    EXPECT_EQ(j["samples"], in.frames());
    EXPECT_EQ(j["window_samples"], kWindow);
    EXPECT_EQ(j["fft_size"], kN);
    EXPECT_EQ(j["hop"], kHop);
    EXPECT_EQ(j["bins"], kBins);
    EXPECT_EQ(j["frames"], kFrames);
    ASSERT_EQ(j["bin_frequencies"].size(), static_cast<size_t>(kBins));
    ASSERT_EQ(j["frame_times"].size(), static_cast<size_t>(kFrames));
    for (int b : {0, 1, 512, kBins - 1})  // bin b lies at b sr / N
        EXPECT_DOUBLE_EQ(j["bin_frequencies"][b].get<double>(),
                         b * static_cast<double>(kRate) / kN);
    // frame t covers samples from t hop - lead, lead the whole hops under N
    const int lead = (kWindow - 1) / kHop * kHop;
    for (int t : {0, 1, kFrames - 1})
        EXPECT_DOUBLE_EQ(j["frame_times"][t].get<double>(),
                         (t * kHop - lead + kWindow / 2.0) / kRate);
    EXPECT_EQ(j["group_file"], "tone-group.wav");

    ASSERT_EQ(j["components"].size(), 3u);
    double largest = 0, previousCentroid = INFINITY;
    for (int k = 0; k < 3; ++k) {
        const json &c = j["components"][k];
        EXPECT_EQ(c["number"], k + 1);
        char file[32];
        std::snprintf(file, sizeof file, "tone-c%02d.wav", k + 1);
        EXPECT_EQ(c["file"], file);
        ASSERT_EQ(c["basis"].size(), static_cast<size_t>(kBins));
        ASSERT_EQ(c["activation"].size(), static_cast<size_t>(kFrames));
        // Centroid by its definition over the bins' frequencies, in Hz.
        double s = 0, m = 0;
        for (int b = 0; b < kBins; ++b) {
            double w = c["basis"][b].get<double>();
            EXPECT_GE(w, 0.0);
            s += w;
            m += w * b * static_cast<double>(kRate) / kN;
        }
        double centroid = c["centroid_hz"].get<double>();
        EXPECT_NEAR(centroid, m / s, 1e-6 * m / s);  // summation order only
        EXPECT_LE(centroid, previousCentroid) << "components run from the brightest down";
        previousCentroid = centroid;
        for (const json &a : c["activation"]) {
            EXPECT_GE(a.get<double>(), 0.0);
            EXPECT_LE(a.get<double>(), 1.0);
            largest = std::max(largest, a.get<double>());
        }
    }
    EXPECT_EQ(largest, 1.0) << "activations are scaled so that the largest is 1";

    // The group's mask is the sum of the three masks, and the resynthesis is
    // linear in the mask: the group is the components' sum up to the float
    // rounding of the files (values below 0.5, so 1e-6 is several ulps).
    Sound sum = sumOfSounds(
        {dir / "tone/tone-c01.wav", dir / "tone/tone-c02.wav", dir / "tone/tone-c03.wav"});
    Sound group;
    ASSERT_TRUE(readSound(dir / "tone/tone-group.wav", group));
    ASSERT_EQ(group.samples.size(), sum.samples.size());
    double worst = 0;
    for (size_t i = 0; i < sum.samples.size(); ++i)
        worst = std::max(worst, std::fabs(double(group.samples[i]) - sum.samples[i]));
    EXPECT_LT(worst, 1e-6);

    expectSumIsTheInput(in, sum);
}

TEST(DecomposeOutputs, StereoComponentsSumToEachChannel) {
    Scratch dir;
    Sound in = makeSound(2, kRate, kSeconds, 0.25);
    ASSERT_TRUE(writeSound(dir / "duo.aiff", in, SF_FORMAT_AIFF | SF_FORMAT_FLOAT));
    Result r = runTool(
        {"decompose", "duo.aiff", "-k", "2", "--format", "float", "-o", "parts", "-q"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(listDir(dir / "parts"),
              (std::vector<std::string>{"components.json", "duo-c01.wav", "duo-c02.wav"}));
    Sound sum = sumOfSounds({dir / "parts/duo-c01.wav", dir / "parts/duo-c02.wav"});
    EXPECT_EQ(sum.channels, 2);
    expectSumIsTheInput(in, sum);
}

TEST(DecomposeOutputs, Stereo16BitWithOnlyGroupAndPicture) {
    Scratch dir;
    Sound in = makeSound(2, kRate, kSeconds, 0.5);
    ASSERT_TRUE(writeSound(dir / "duo.wav", in, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    Result r = runTool({"decompose", "duo.wav", "-k", "3", "--only", "3,1", "--group", "1-2",
                        "--plot", "-o", "res"},
                       dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("3 components of duo.wav"), std::string::npos) << r.out;
    EXPECT_EQ(listDir(dir / "res"),
              (std::vector<std::string>{"components.json", "decomposition.png", "duo-c01.wav",
                                        "duo-c03.wav", "duo-group.wav"}));
    for (const char *name : {"duo-c01.wav", "duo-c03.wav", "duo-group.wav"}) {
        Sound s;
        ASSERT_TRUE(readSound(dir / "res" + "/" + name, s)) << name;
        EXPECT_EQ(s.channels, 2) << name;
        EXPECT_EQ(s.frames(), in.frames()) << name;
        EXPECT_EQ(s.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16) << name;
    }
    json j = readJson(dir / "res/components.json");
    EXPECT_EQ(j["channels"], 2);
    EXPECT_EQ(j["settings"]["only"], json({1, 3}));
    EXPECT_EQ(j["settings"]["group"], json({1, 2}));
    EXPECT_EQ(j["components"][0]["file"], "duo-c01.wav");
    EXPECT_TRUE(j["components"][1]["file"].is_null());
    EXPECT_EQ(j["components"][2]["file"], "duo-c03.wav");

    // A PNG: signature, then the IHDR chunk with width and height.
    std::ifstream png(dir / "res/decomposition.png", std::ios::binary);
    unsigned char head[24] = {};
    png.read(reinterpret_cast<char *>(head), sizeof head);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(head) + 1, 3), "PNG");
    auto be32 = [&](int at) {
        return (head[at] << 24) | (head[at + 1] << 16) | (head[at + 2] << 8) | head[at + 3];
    };
    EXPECT_EQ(be32(16), 1400);
    EXPECT_GT(be32(20), 400);
}

TEST(DecomposeOutputs, TheSameSeedGivesTheSameComponents) {
    Scratch dir;
    ASSERT_TRUE(writeSound(dir / "tone.wav", makeSound(1, kRate, kSeconds, 0.25),
                           SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    for (const char *out : {"a", "b"}) {
        Result r = runTool({"decompose", "tone.wav", "-k", "2", "--seed", "11", "-o", out, "-q"},
                           dir.path());
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    EXPECT_EQ(readJson(dir / "a/components.json")["components"],
              readJson(dir / "b/components.json")["components"]);
}
