// The models beyond plain NMF as a user runs them: every model's components
// still add up to the input, the record says what was lowered and keeps what
// remix needs (groups of inner components, the spans' spectra), and bad
// settings are refused before any work.
#include "json_files.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <algorithm>
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

Result decompose(const Scratch &dir, const std::string &name,
                 const std::vector<std::string> &model) {
    std::vector<std::string> args = {"decompose", name + ".wav", "-k",    "3", "--seed",
                                     "2",         "--format",    "float", "-q"};
    args.insert(args.end(), model.begin(), model.end());
    return runTool(args, dir.path());
}

}  // namespace

TEST(DecomposeModels, EveryModelsComponentsSumToTheInputAndItsRecordSaysWhatRan) {
    Scratch dir;
    struct Case {
        int channels;
        std::vector<std::string> model;
        double beta;
        int span, pool;
    } cases[] = {
        {1, {"--cost", "is"}, 0.0, 1, 0},
        {2, {"--beta", "0.5", "--sparse-h", "0.01", "--l2-w", "0.1", "--pool", "0"}, 0.5, 1, 0},
        {1, {"--continuity", "1", "--cost", "kl"}, 1.0, 1, 0},
        {2, {"--span", "4"}, 1.0, 4, 9},  // stereo: a pool of 3 k by default
        {1, {"--pool", "6"}, 1.0, 1, 6},  // mono: Kullback-Leibler by default
        {2, {"--span", "3", "--pool", "5", "--cost", "euclidean"}, 2.0, 3, 5},
    };
    int n = 0;
    for (const Case &c : cases) {
        const std::string name = "in" + std::to_string(n++);
        Sound in = makeSound(c.channels, 8000, 1.0, 0.5);
        ASSERT_TRUE(writeSound(dir / (name + ".wav"), in, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
        Result r = decompose(dir, name, c.model);
        ASSERT_EQ(r.exitCode, 0) << name << ": " << r.err;
        EXPECT_LT(relativeError(sumOfSounds(componentPaths(dir / name, name, {1, 2, 3})), in), 1e-6)
            << name;

        json j = readJson(dir / (name + "/components.json"));
        EXPECT_EQ(j["model"]["beta"], c.beta) << name;
        EXPECT_EQ(j["model"]["span"], c.span) << name;
        EXPECT_EQ(j["model"]["pool"], c.pool) << name;
        EXPECT_TRUE(j["divergence"].is_number()) << name;
        const size_t bins = j["bins"], inner = size_t(c.pool ? c.pool : 3) * size_t(c.span);
        size_t parts = 0;
        for (const json &comp : j["components"]) {
            if (c.span > 1) {
                ASSERT_EQ(comp["basis_frames"].size(), size_t(c.span)) << name;
                EXPECT_EQ(comp["basis_frames"][0].size(), bins) << name;
            } else {
                EXPECT_FALSE(comp.contains("basis_frames")) << name;
            }
            if (inner != 3) parts += comp["parts"].get<size_t>();
        }
        if (inner != 3) {
            EXPECT_EQ(parts, inner) << name;
            EXPECT_EQ(j["factors"]["inner"], inner) << name;
        } else {
            EXPECT_FALSE(j["factors"].contains("members")) << name;
        }
    }
}

TEST(DecomposeModels, RemixOfAGroupedRunRebuildsItsComponents) {
    Scratch dir;
    ASSERT_TRUE(
        writeSound(dir / "in.wav", makeSound(2, 8000, 1.2, 0.5), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    Result r = decompose(dir, "in", {"--pool", "6", "--span", "2", "-o", "run"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = runTool({"remix", "run", "--group", "2", "--group", "1,3", "--format", "float", "-o",
                 "again", "-q"},
                dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(load(dir / "again/in-group1.wav").samples, load(dir / "run/in-c02.wav").samples);
    Sound both = load(dir / "run/in-c01.wav"), c3 = load(dir / "run/in-c03.wav");
    for (size_t i = 0; i < both.samples.size(); ++i) both.samples[i] += c3.samples[i];
    EXPECT_LT(relativeError(load(dir / "again/in-group2.wav").samples, both.samples), 1e-6);

    // groups that are no division of the inner components are refused
    json j = readJson(dir / "run/components.json");
    j["factors"]["members"][1] = j["factors"]["members"][0];
    std::ofstream(dir / "run/components.json") << j.dump();
    r = runTool({"remix", "run", "--group", "1", "-o", "bad"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the record is damaged"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(dir / "bad"));
}

TEST(DecomposeModels, BadSettingsAreRefusedBeforeAnyWork) {
    Scratch dir;
    ASSERT_TRUE(
        writeSound(dir / "in.wav", makeSound(1, 8000, 1.0, 0.5), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    struct Case {
        std::vector<std::string> model;
        std::string message;
    } cases[] = {
        {{"--beta", "nan"}, "--beta must be a finite number"},
        {{"--span", "0"}, "--span must be between 1 and 64 frames"},
        {{"--span", "65"}, "--span must be between 1 and 64 frames"},
        {{"--pool", "2"}, "--pool must be 0 or between -k (3) and 256"},
        {{"--sparse-h", "-1"}, "--sparse-h must be 0 or a positive number"},
        {{"--continuity", "inf"}, "--continuity must be 0 or a positive number"},
        {{"--relax", "0.9"}, "--relax must be between 1 and 2"},
        {{"--relax", "nan"}, "--relax must be between 1 and 2"},
        {{"--channel-spectra", "left"}, "--channel-spectra"},
        {{"--bands", "-1"}, "--bands must be 0 or a frequency in Hz"},
        {{"--bands", "nan"}, "--bands must be 0 or a frequency in Hz"},
        {{"--bands", "250", "--span", "2"}, "--bands works with the model's rounds"},
        {{"--bands", "100", "--plain"}, "--bands works with the model's rounds"},
    };
    for (const Case &c : cases) {
        Result r = decompose(dir, "in", c.model);
        EXPECT_EQ(r.exitCode, 2) << c.model[0];
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(exists(dir / "in")) << c.model[0];
    }
}

// Fixed given bases run only the plain rounds: every model option beyond
// them, relaxed rounds and shared spectra included, is refused before any
// work (once ran into the factorisation and failed as "not enough memory").
TEST(DecomposeModels, FixedBasesRefuseEveryModelOption) {
    Scratch dir;
    ASSERT_TRUE(
        writeSound(dir / "s.wav", makeSound(2, 8000, 1.0, 0.5), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    ASSERT_EQ(decompose(dir, "s", {"--plain", "-o", "first"}).exitCode, 0);
    for (const std::vector<std::string> &model : {std::vector<std::string>{"--beta", "0.5"},
                                                  {"--relax", "1.5"},
                                                  {"--channel-spectra", "shared"},
                                                  {"--continuity", "0.1"}}) {
        std::vector<std::string> args = {"--bases", "first/components.json", "--fix-bases", "-o",
                                         "x"};
        args.insert(args.end(), model.begin(), model.end());
        Result r = decompose(dir, "s", args);
        EXPECT_EQ(r.exitCode, 2) << model[0];
        EXPECT_NE(r.err.find("--fix-bases keeps given bases only in plain NMF"), std::string::npos)
            << r.err;
        EXPECT_FALSE(exists(dir / "x")) << model[0];
    }
    EXPECT_EQ(decompose(dir, "s",
                        {"--bases", "first/components.json", "--fix-bases", "--relax", "1",
                         "--channel-spectra", "own", "-o", "y"})
                  .exitCode,
              0);
}

// The defaults follow the rows: stacked channels factorise a pool of 3 k
// components grouped into k, one row per bin none, both lowering the
// Kullback-Leibler divergence in 115 relaxed rounds (200 plain rounds'
// worth) on bands (from 400 Hz stacked, else 250) and 10 more on every
// bin, stacked channels
// sharing each component's spectrum; --plain and given bases take plain
// NMF and 200 rounds, every one on every bin. --span runs the default's
// rounds first and 50 convolutive ones from them; with --plain, 200 cold.
TEST(DecomposeModels, DefaultsFollowTheChannels) {
    Scratch dir;
    ASSERT_TRUE(
        writeSound(dir / "m.wav", makeSound(1, 8000, 1.0, 0.5), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    ASSERT_TRUE(
        writeSound(dir / "s.wav", makeSound(2, 8000, 1.0, 0.5), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    struct Case {
        std::string input;
        std::vector<std::string> args;
        double beta;
        int pool;
        double relax;
        int rounds;
        std::string spectra;
        double bands;
    } cases[] = {
        {"m", {}, 1.0, 0, 1.75, 125, "own", 250},
        {"s", {}, 1.0, 9, 1.75, 125, "shared", 400},
        {"s", {"--channels", "sum"}, 1.0, 0, 1.75, 125, "own", 250},
        {"s", {"--plain"}, 1.0, 0, 1.0, 200, "own", 0},
        {"s", {"--bases", "s1"}, 1.0, 0, 1.0, 200, "own", 0},
        {"s", {"--relax", "1.5", "--channel-spectra", "own"}, 1.0, 9, 1.5, 144, "own", 400},
        {"s", {"--plain", "--relax", "2", "--iterations", "30"}, 1.0, 0, 2.0, 30, "own", 0},
        {"s", {"--plain", "--channel-spectra", "shared"}, 1.0, 0, 1.0, 200, "shared", 0},
        {"m", {"--channel-spectra", "shared"}, 1.0, 0, 1.75, 125, "own", 250},
        {"m", {"--bands", "0"}, 1.0, 0, 1.75, 8 * 115, "own", 0},  // mostly held: 7 more starts
        {"m", {"--bands", "400", "--iterations", "50"}, 1.0, 0, 1.75, 50, "own", 400},
        {"m", {"--span", "2"}, 1.0, 0, 1.0, 175, "own", 250},  // the default's 125 rounds, then 50
        {"s", {"--span", "2"}, 1.0, 9, 1.0, 175, "own", 400},
        {"m", {"--span", "2", "--plain"}, 1.0, 0, 1.0, 200, "own", 0},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--tol", "0", "-o", "s" + std::to_string(++n)});
        ASSERT_EQ(decompose(dir, c.input, args).exitCode, 0) << n;
        json j = readJson(dir / ("s" + std::to_string(n) + "/components.json"));
        EXPECT_EQ(j["model"]["beta"], c.beta) << n;
        EXPECT_EQ(j["model"]["pool"], c.pool) << n;
        EXPECT_EQ(j["model"]["span"], !c.args.empty() && c.args[0] == "--span" ? 2 : 1) << n;
        EXPECT_EQ(j["model"]["relax"], c.relax) << n;
        EXPECT_EQ(j["iterations_run"], c.rounds) << n;
        EXPECT_EQ(j["model"]["channel_spectra"], c.spectra) << n;
        EXPECT_EQ(j["model"]["bands"], c.bands) << n;
    }
}

// A tune: a note at a time, each of its own pitch and partials, so that
// k spectra leave most of it unexplained.
Sound tune(int notes, double noteSeconds) {
    Sound s;
    s.channels = 1;
    s.rate = 8000;
    const int each = static_cast<int>(noteSeconds * s.rate);
    for (int n = 0; n < notes; ++n) {
        const double f0 = 150.0 * std::pow(2.0, n / 5.0);
        for (int i = 0; i < each; ++i) {
            const double t = double(i) / s.rate, fade = std::min(1.0, 20.0 * (noteSeconds - t));
            double x = 0;
            for (int h = 1; h * f0 < 3800; ++h) x += std::sin(2 * M_PI * h * f0 * t) / h;
            s.samples.push_back(float(0.2 * fade * x));
        }
    }
    return s;
}

// The record of a run into two components (float files, quiet) in `out`.
json twoComponents(const Scratch &dir, const std::vector<std::string> &args,
                   const std::string &out) {
    std::vector<std::string> a = {"decompose", "-k", "2", "--format", "float", "-q", "-o", out};
    a.insert(a.end(), args.begin(), args.end());
    Result r = runTool(a, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return readJson(dir / (out + "/components.json"));
}

// One row a bin whose k components leave much of the sound unexplained (a
// tune, a voice) is factorised again as a pool of 4 k grouped into k; a
// sound that k spectra explain, given pools and stacked channels are not.
// Without --seed, the seed recorded repeats both factorisations.
TEST(DecomposeModels, ARichMonoSoundIsFactorisedAgainAsAPool) {
    Scratch dir;
    ASSERT_TRUE(writeSound(dir / "tune.wav", tune(10, 0.25), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    ASSERT_TRUE(writeSound(dir / "two.wav", tune(2, 1.2), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    ASSERT_TRUE(
        writeSound(dir / "s.wav", makeSound(2, 8000, 1.0, 0.5), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    auto run = [&](const std::vector<std::string> &args, const std::string &out) {
        return twoComponents(dir, args, out);
    };
    json j = run({"tune.wav"}, "rich");
    EXPECT_EQ(j["model"]["pool"], 8);
    EXPECT_EQ(j["settings"]["pool"], nullptr);
    EXPECT_EQ(j["factors"]["inner"], 8);
    EXPECT_EQ(j["factors"]["members"].size(), 2u);
    Sound sum = load(dir / "rich/tune-c01.wav"), c2 = load(dir / "rich/tune-c02.wav");
    for (size_t i = 0; i < sum.samples.size(); ++i) sum.samples[i] += c2.samples[i];
    EXPECT_LT(relativeError(sum.samples, tune(10, 0.25).samples), 1e-5);

    const std::string seed = std::to_string(j["seed_used"].get<unsigned>());
    run({"tune.wav", "--seed", seed}, "again");
    EXPECT_EQ(load(dir / "again/tune-c01.wav").samples, load(dir / "rich/tune-c01.wav").samples);
    EXPECT_EQ(readJson(dir / "again/components.json")["factors"], j["factors"]);

    // K components alone cut with sharper masks (held notes sharper still: no
    // activation rises like a hit), a grouped pool with plain shares
    EXPECT_EQ(j["factors"]["mask_power"], 1.0);
    json given = run({"tune.wav", "--pool", "0"}, "given");
    EXPECT_EQ(given["model"]["pool"], 0);
    EXPECT_EQ(given["factors"]["mask_power"], 2.0);
    sum = load(dir / "given/tune-c01.wav"), c2 = load(dir / "given/tune-c02.wav");
    for (size_t i = 0; i < sum.samples.size(); ++i) sum.samples[i] += c2.samples[i];
    EXPECT_LT(relativeError(sum.samples, tune(10, 0.25).samples), 1e-5);
    EXPECT_EQ(run({"tune.wav", "--plain"}, "plain")["model"]["pool"], 0);
    EXPECT_EQ(readJson(dir / "plain/components.json")["factors"]["mask_power"], 1.0);
    EXPECT_EQ(run({"tune.wav", "--span", "2"}, "span")["model"]["pool"], 0);
    EXPECT_EQ(readJson(dir / "span/components.json")["factors"]["mask_power"], 1.0);
    EXPECT_EQ(run({"two.wav"}, "plainer")["factors"]["mask_power"], 2.0);
    EXPECT_EQ(readJson(dir / "plainer/components.json")["model"]["pool"], 0);
    EXPECT_EQ(run({"s.wav"}, "stacked")["model"]["pool"], 6);
    EXPECT_EQ(readJson(dir / "stacked/components.json")["factors"]["mask_power"], 1.0);
}

// Mostly held sounds are factorised from seven more starts, the most
// clearly pitched components kept: every start's rounds count, the same seed
// repeats the run, and the components still sum to the input; a given span
// keeps one start (a kit's, --plain's: see below and above).
TEST(DecomposeModels, HeldSoundsAreFactorisedFromMoreStarts) {
    Scratch dir;
    ASSERT_TRUE(writeSound(dir / "two.wav", tune(2, 1.2), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    auto run = [&](std::vector<std::string> args, const std::string &out) {
        args.insert(args.end(), {"two.wav", "--seed", "4", "--tol", "0"});
        return twoComponents(dir, args, out);
    };
    json j = run({}, "held"), one = run({"--span", "1"}, "one");
    EXPECT_EQ(j["iterations_run"], 8 * one["iterations_run"].get<int>());
    EXPECT_EQ(j["starts"], 8);
    EXPECT_EQ(one["starts"], 1);
    EXPECT_LT(j["start_kept"].get<int>(), 8);
    EXPECT_EQ(j["seed_used"], 4);
    EXPECT_EQ(j["start"], "nndsvda");
    EXPECT_EQ(run({}, "again")["factors"], j["factors"]);
    Sound sum = load(dir / "held/two-c01.wav"), c2 = load(dir / "held/two-c02.wav");
    for (size_t i = 0; i < sum.samples.size(); ++i) sum.samples[i] += c2.samples[i];
    EXPECT_LT(relativeError(sum.samples, tune(2, 1.2).samples), 1e-5);
    Result said = runTool({"decompose", "two.wav", "-k", "2", "-v", "-o", "said"}, dir.path());
    EXPECT_NE(said.out.find("mostly held sounds: 7 more starts"), std::string::npos) << said.out;
}

// Two drums: a low thump and a bright click, each hit on its own beats and
// dying away within a tenth of a second.
Sound kit(double seconds) {
    Sound s;
    s.channels = 1;
    s.rate = 8000;
    unsigned x = 7;
    for (int i = 0; i < static_cast<int>(seconds * s.rate); ++i) {
        const double t = double(i) / s.rate, low = std::fmod(t, 0.5),
                     high = std::fmod(t + 0.25, 0.5);
        x = 1103515245u * x + 12345u;
        const double noise = double(x >> 8) / double(1u << 24) - 0.5;
        s.samples.push_back(float(0.5 * std::exp(-low / 0.03) * std::sin(2 * M_PI * 70 * t) +
                                  0.3 * std::exp(-high / 0.015) * noise));
    }
    return s;
}

// One row a bin whose k components all rise like hits (a kit) goes on to
// convolutive bases, 50 rounds after the fit's, as --span 6 gives them;
// held sounds, a given pool or span, --plain and another cost keep one frame.
TEST(DecomposeModels, AMonoKitGoesOnToConvolutiveBases) {
    Scratch dir;
    ASSERT_TRUE(writeSound(dir / "kit.wav", kit(2.0), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    ASSERT_TRUE(writeSound(dir / "two.wav", tune(2, 1.2), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    auto run = [&](std::vector<std::string> args, const std::string &out) {
        args.insert(args.end(), {"--tol", "0"});
        return twoComponents(dir, args, out);
    };
    json j = run({"kit.wav"}, "kit");
    EXPECT_EQ(j["model"]["span"], 6);
    EXPECT_EQ(j["settings"]["span"], nullptr);
    EXPECT_EQ(j["iterations_run"], 125 + 50);
    EXPECT_EQ(j["factors"]["inner"], 12);
    EXPECT_EQ(j["factors"]["mask_power"], 1.0);
    EXPECT_LT(relativeError(sumOfSounds(componentPaths(dir / "kit", "kit", {1, 2})), kit(2.0)),
              1e-5);
    json given = run({"kit.wav", "--span", "6"}, "given");
    EXPECT_EQ(given["factors"], j["factors"]);
    EXPECT_EQ(load(dir / "given/kit-c01.wav").samples, load(dir / "kit/kit-c01.wav").samples);
    // remix rebuilds the components from the record
    Result r = runTool({"remix", "kit", "--group", "1", "--format", "float", "-o", "again", "-q"},
                       dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(load(dir / "again/kit-group.wav").samples, load(dir / "kit/kit-c01.wav").samples);

    EXPECT_EQ(run({"two.wav"}, "held")["model"]["span"], 1);
    EXPECT_EQ(run({"kit.wav", "--pool", "0"}, "pool")["model"]["span"], 1);
    EXPECT_EQ(run({"kit.wav", "--plain"}, "plain")["model"]["span"], 1);
    EXPECT_EQ(run({"kit.wav", "--span", "1"}, "one")["model"]["span"], 1);
    EXPECT_EQ(run({"kit.wav", "--cost", "is"}, "is")["model"]["span"], 1);
    json counted = run({"kit.wav", "--iterations", "30"}, "counted");
    EXPECT_EQ(counted["model"]["span"], 6);
    EXPECT_EQ(counted["iterations_run"], 30 + 50);
}

TEST(DecomposeModels, PlainIsEveryModelOptionOff) {
    Scratch dir;
    ASSERT_TRUE(
        writeSound(dir / "in.wav", makeSound(2, 8000, 1.0, 0.5), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    ASSERT_EQ(decompose(dir, "in", {"--plain", "-o", "a"}).exitCode, 0);
    ASSERT_EQ(
        decompose(
            dir, "in",
            {"--cost",  "kl", "--sparse-h",        "0",   "--sparse-w", "0",     "--l2-h", "0",
             "--l2-w",  "0",  "--continuity",      "0",   "--span",     "1",     "--pool", "0",
             "--relax", "1",  "--channel-spectra", "own", "--filter",   "masks", "-o",     "b"})
            .exitCode,
        0);
    EXPECT_EQ(readJson(dir / "a/components.json")["factors"],
              readJson(dir / "b/components.json")["factors"]);
    EXPECT_EQ(load(dir / "a/in-c01.wav").samples, load(dir / "b/in-c01.wav").samples);
}

// Single precision (the default) and double reach the same divergence to
// 1e-4 after the same rounds, convolutive bases too, each record saying
// which ran; a bad precision is refused.
TEST(DecomposeModels, SingleAndDoublePrecisionAgree) {
    Scratch dir;
    ASSERT_TRUE(
        writeSound(dir / "in.wav", makeSound(2, 8000, 1.0, 0.5), SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    for (const char *model : {"--plain", "--beta=0.5", "--span=4"}) {
        const std::vector<std::string> rounds = {model, "--tol", "0", "--iterations", "200"};
        std::vector<std::string> s = rounds, d = rounds;
        s.insert(s.end(), {"-o", "s"});
        d.insert(d.end(), {"--precision", "double", "-o", "d"});
        ASSERT_EQ(decompose(dir, "in", s).exitCode, 0) << model;
        ASSERT_EQ(decompose(dir, "in", d).exitCode, 0) << model;
        json a = readJson(dir / "s/components.json"), b = readJson(dir / "d/components.json");
        EXPECT_EQ(a["settings"]["precision"], "single");
        EXPECT_EQ(b["settings"]["precision"], "double");
        const double ds = a["divergence"], dd = b["divergence"];
        EXPECT_NEAR(ds / dd, 1.0, 1e-4) << model;
        std::filesystem::remove_all(dir / "s");
        std::filesystem::remove_all(dir / "d");
    }
    Result r = decompose(dir, "in", {"--precision", "half"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--precision"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(dir / "in"));
}
