// `korvane decompose` with bases of earlier runs (--bases, --fix-bases,
// --extra), the cost (--cost) and the order of the components (--order).
#include "json_files.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

using kvtest::readJson;
using kvtest::Result;
using kvtest::runTool;
using nlohmann::json;

namespace {

// Component k's basis as the run held it: W's column in the record's factors.
std::vector<double> column(const nlohmann::json &j, size_t k) {
    const auto &W = j["factors"]["W"];
    const size_t K = j["components"].size(), rows = j["factors"]["rows"].get<size_t>();
    std::vector<double> w;
    for (size_t r = 0; r < rows; ++r) w.push_back(W[r * K + k].get<double>());
    return w;
}

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// Tones at the given frequencies, each pulsing at its own rate, on every
// channel alike.
kvtest::Sound tones(const std::vector<double> &hz, int rate = 22050, int channels = 1,
                    double seconds = 1.5) {
    kvtest::Sound s;
    s.channels = channels;
    s.rate = rate;
    const long n = static_cast<long>(seconds * rate);
    for (long i = 0; i < n; ++i) {
        double t = static_cast<double>(i) / rate, x = 0;
        for (size_t j = 0; j < hz.size(); ++j)
            x += 0.3 * std::sin(6.283185307179586 * hz[j] * t) *
                 (0.55 + 0.45 * std::cos(6.283185307179586 * (2 + j) * t));
        for (int c = 0; c < channels; ++c) s.samples.push_back(static_cast<float>(x));
    }
    return s;
}

class Bases : public ::testing::Test {
protected:
    kvtest::Scratch dir;

    void sound(const std::string &name, const kvtest::Sound &s) {
        ASSERT_TRUE(kvtest::writeSound(dir / name, s, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    }
    Result decompose(std::vector<std::string> args) {
        args.insert(args.begin(), "decompose");
        args.push_back("-q");
        return runTool(args, dir.path());
    }
    json record(const std::string &folder) { return readJson(dir / (folder + "/components.json")); }
    // A low tone's two bases learned into folder low/
    void learnLow() {
        sound("low.wav", tones({220}));
        Result r = decompose({"low.wav", "-k", "2", "--seed", "3", "-o", "low"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
};

// --fix-bases gives the bases back bit for bit and names their source; the
// extra component takes what they cannot explain, so the cost falls.
TEST_F(Bases, FixedBasesStayBitForBitAndExtraOnesAreLearned) {
    learnLow();
    sound("mix.wav", tones({220, 3000}));
    Result r = decompose(
        {"mix.wav", "--bases", "low/components.json", "--fix-bases", "--seed", "5", "-o", "fixed"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = decompose({"mix.wav", "--bases", "low/components.json", "--fix-bases", "--extra", "1",
                   "--seed", "5", "-o", "extra"});
    ASSERT_EQ(r.exitCode, 0) << r.err;

    json low = record("low"), fixed = record("fixed"), extra = record("extra");
    ASSERT_EQ(extra["components"].size(), 3u);
    for (int k = 0; k < 2; ++k) {
        const json &c = extra["components"][k];
        EXPECT_EQ(column(extra, k), column(low, k)) << k;
        EXPECT_EQ(column(fixed, k), column(low, k)) << k;
        EXPECT_EQ(c["source"], json({{"file", "low/components.json"}, {"number", k + 1}}));
    }
    const json &free = extra["components"][2];
    EXPECT_TRUE(free["source"].is_null());
    EXPECT_GT(free["peak_hz"].get<double>(), 2500.0);  // the high tone, which no given basis holds
    EXPECT_LT(extra["divergence"].get<double>(), 0.5 * fixed["divergence"].get<double>());
    EXPECT_EQ(extra["settings"]["components"], 3);
    EXPECT_EQ(extra["settings"]["bases"], json::array({"low/components.json"}));
    EXPECT_EQ(extra["settings"]["fix_bases"], true);
    EXPECT_EQ(extra["settings"]["extra"], 1);
}

// Without --fix-bases the given bases are a start: they move, keep their
// place and name their source; several files give their components in turn.
TEST_F(Bases, GivenBasesWithoutFixingAreLearnedInTheirPlaces) {
    learnLow();
    sound("high.wav", tones({3000}));
    ASSERT_EQ(decompose({"high.wav", "-k", "1", "--seed", "2", "-o", "high"}).exitCode, 0);
    sound("mix.wav", tones({220, 3000}));
    Result r = decompose({"mix.wav", "--bases", "high/components.json,low/components.json",
                          "--seed", "1", "--iterations", "40", "-o", "moved"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    json moved = record("moved"), low = record("low");
    ASSERT_EQ(moved["components"].size(), 3u);
    EXPECT_EQ(moved["components"][0]["source"]["file"], "high/components.json");
    EXPECT_EQ(moved["components"][1]["source"],
              json({{"file", "low/components.json"}, {"number", 1}}));
    EXPECT_EQ(moved["components"][2]["source"],
              json({{"file", "low/components.json"}, {"number", 2}}));
    EXPECT_NE(column(moved, 1), column(low, 0));
    EXPECT_GT(moved["components"][0]["peak_hz"].get<double>(),
              2500.0);  // still the high one, first
}

// Bases from another sample rate, FFT size or channel mode are refused with
// both values named; options that do not fit together are usage errors.
TEST_F(Bases, MismatchesAndContradictionsAreRefused) {
    learnLow();
    sound("fast.wav", tones({220}, 44100));
    sound("stereo.wav", tones({220}, 22050, 2));
    sound("mix.wav", tones({220, 3000}));
    ASSERT_EQ(decompose({"stereo.wav", "-k", "2", "--seed", "3", "--plain", "-o", "st"}).exitCode,
              0);
    ASSERT_EQ(decompose({"stereo.wav", "-k", "2", "--seed", "3", "-o", "pooled"}).exitCode, 0);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> said;
    };
    const Case cases[] = {
        {{"fast.wav", "--bases", "low/components.json"}, 1, {"sample rate 22050 Hz", "44100 Hz"}},
        {{"mix.wav", "--bases", "low/components.json", "--win", "0.04"},
         1,
         {"a window of 1764 samples", "882"}},
        {{"mix.wav", "--bases", "low/components.json", "--fft", "4096"},
         1,
         {"FFT size 2048", "4096"}},
        {{"mix.wav", "--bases", "st/components.json"},
         1,
         {"channel mode stack (2050 rows", "sum (1025 rows"}},
        {{"mix.wav", "--bases", "low/components.json", "-k", "4"}, 2, {"-k 4 contradicts", "(2)"}},
        {{"mix.wav", "--bases", "nowhere/components.json"},
         1,
         {"cannot read 'nowhere/components.json'"}},
        {{"mix.wav", "--bases", "mix.wav"}, 1, {"not a components.json"}},
        {{"stereo.wav", "--bases", "pooled"}, 1, {"groups of several spectra", "--plain"}},
        {{"mix.wav", "--fix-bases"}, 2, {"--fix-bases needs --bases"}},
        {{"mix.wav", "--extra", "2"}, 2, {"--extra needs --bases"}},
        {{"mix.wav", "--bases", "low/components.json", "--extra", "-1"},
         2,
         {"--extra must be 0 or more"}},
        {{"mix.wav", "--cost", "l1"}, 2, {"--cost"}},
        {{"mix.wav", "--order", "loudness"}, 2, {"--order"}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", "refused"});
        Result r = decompose(args);
        EXPECT_EQ(r.exitCode, c.status) << args[0] << " " << args[1] << ": " << r.err;
        EXPECT_TRUE(has(r.err, "korvane decompose: ")) << r.err;
        for (const std::string &s : c.said) EXPECT_TRUE(has(r.err, s)) << r.err;
        EXPECT_FALSE(kvtest::exists(dir / "refused")) << args[1];
    }

    // a record without factors (an older one) is refused, not guessed at
    json old = record("low");
    old.erase("factors");
    std::ofstream(dir / "low/old.json") << old.dump();
    Result r = decompose({"mix.wav", "--bases", "low/old.json", "-o", "refused"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(has(r.err, "keeps no factors")) << r.err;
}

// Fault 11: bases learned from a mono one-shot were refused for a stereo
// mix ("channel mode sum ... this run with stack"). A mono record's bases
// serve each channel of a stacked analysis, repeated in every channel's rows.
TEST_F(Bases, Fault11_MonoBasesServeEachChannelOfAStackedMix) {
    learnLow();
    sound("loop.wav", tones({220, 3000}, 22050, 2));
    Result r = decompose({"loop.wav", "--bases", "low/components.json", "--fix-bases", "--extra",
                          "1", "--seed", "5", "--format", "float", "-o", "loop"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    json low = record("low"), loop = record("loop");
    EXPECT_EQ(loop["channel_mode"], "stack");
    ASSERT_EQ(loop["factors"]["rows"], 2 * low["factors"]["rows"].get<int>());
    for (int k = 0; k < 2; ++k) {
        std::vector<double> twice = column(low, k);
        const std::vector<double> once = twice;
        twice.insert(twice.end(), once.begin(), once.end());
        EXPECT_EQ(column(loop, k), twice) << k;
    }
    EXPECT_GT(loop["components"][2]["peak_hz"].get<double>(), 2500.0);
    // and the components still sum to the loop
    kvtest::Sound in, sum;
    ASSERT_TRUE(kvtest::readSound(dir / "loop.wav", in));
    for (int k = 1; k <= 3; ++k) {
        kvtest::Sound c;
        ASSERT_TRUE(kvtest::readSound(dir / ("loop/loop-c0" + std::to_string(k) + ".wav"), c));
        if (sum.samples.empty())
            sum = c;
        else
            for (size_t i = 0; i < c.samples.size(); ++i) sum.samples[i] += c.samples[i];
    }
    EXPECT_EQ(sum.channels, 2);
    EXPECT_LT(kvtest::relativeError(sum, in), 1e-4);
}

// First frame where an activation reaches half its largest value.
size_t onset(const json &activation) {
    std::vector<double> a = activation.get<std::vector<double>>();
    const double top = *std::max_element(a.begin(), a.end());
    return static_cast<size_t>(
        std::find_if(a.begin(), a.end(), [&](double v) { return v >= top / 2; }) - a.begin());
}

// Each --order numbers the same components as documented; with given bases
// only the free ones after them are ordered.
TEST_F(Bases, OrdersNumberTheSameComponentsAsDocumented) {
    sound("mix.wav", tones({150, 900, 4000}));
    struct Order {
        const char *name;
        bool (*before)(const json &a, const json &b);
    };
    const Order orders[] = {
        {"centroid",
         [](const json &a, const json &b) { return a["centroid_hz"] >= b["centroid_hz"]; }},
        {"peak", [](const json &a, const json &b) { return a["peak_hz"] >= b["peak_hz"]; }},
        {"energy",
         [](const json &a, const json &b) { return a["energy_share"] >= b["energy_share"]; }},
        {"onset", [](const json &a,
                     const json &b) { return onset(a["activation"]) <= onset(b["activation"]); }},
    };
    std::vector<std::vector<double>> firstSet;
    for (const Order &o : orders) {
        SCOPED_TRACE(o.name);
        Result r =
            decompose({"mix.wav", "-k", "3", "--seed", "4", "--order", o.name, "-o", o.name});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        json j = record(o.name);
        EXPECT_EQ(j["settings"]["order"], o.name);
        std::vector<std::vector<double>> set;
        for (size_t k = 0; k < 3; ++k) {
            if (k > 0) {
                EXPECT_TRUE(o.before(j["components"][k - 1], j["components"][k])) << k;
            }
            set.push_back(column(j, k));
        }
        std::sort(set.begin(), set.end());
        if (firstSet.empty()) firstSet = set;
        EXPECT_EQ(set, firstSet);  // the same factorisation, numbered otherwise
    }

    // given ones first even when another order would move them
    ASSERT_EQ(decompose({"mix.wav", "-k", "1", "--seed", "4", "-o", "one"}).exitCode, 0);
    Result r = decompose({"mix.wav", "--bases", "one/components.json", "--extra", "2", "--seed",
                          "4", "--order", "energy", "-o", "given"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    json g = record("given");
    EXPECT_FALSE(g["components"][0]["source"].is_null());
    EXPECT_GE(g["components"][1]["energy_share"], g["components"][2]["energy_share"]);
}

// --cost euclidean runs, lowers its own cost and records it; the two costs
// give different factorisations of the same start.
TEST_F(Bases, EuclideanCostIsRunAndRecorded) {
    sound("mix.wav", tones({220, 3000}));
    ASSERT_EQ(decompose({"mix.wav", "-k", "2", "--seed", "1", "--cost", "euclidean", "--iterations",
                         "1", "-o", "e1"})
                  .exitCode,
              0);
    ASSERT_EQ(decompose({"mix.wav", "-k", "2", "--seed", "1", "--cost", "euclidean", "--tol", "0",
                         "-o", "e"})
                  .exitCode,
              0);
    ASSERT_EQ(
        decompose({"mix.wav", "-k", "2", "--seed", "1", "--cost", "kl", "--tol", "0", "-o", "kl"})
            .exitCode,
        0);
    json e1 = record("e1"), e = record("e"), kl = record("kl");
    EXPECT_EQ(e["cost"], "euclidean");
    EXPECT_EQ(e["settings"]["cost"], "euclidean");
    EXPECT_EQ(kl["cost"], "kl");
    EXPECT_LT(e["divergence"].get<double>(), e1["divergence"].get<double>());
    EXPECT_NE(column(e, 0), column(kl, 0));
}

}  // namespace
