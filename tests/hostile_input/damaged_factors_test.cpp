// Fault 5: a record's factors, finite but damaged, made remix write NaN
// samples (float) or full-scale noise (PCM) and exit 0. A damaged record is
// refused, naming it, and nothing is written.
#include "tool.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <cmath>
#include <fstream>
#include <functional>

using namespace kvtest;
using json = nlohmann::json;

namespace {

json readJson(const std::string &path) {
    std::ifstream f(path);
    return json::parse(f);
}

void setAll(json &a, double v) {
    for (json &x : a) x = v;
}

}  // namespace

TEST(DamagedFactors, Fault5_RemixRefusesFactorsOutOfRangeAndWritesNothing) {
    Scratch dir;
    ASSERT_TRUE(
        writeSound(dir / "in.wav", makeSound(2, 8000, 1.0, 0.5), SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    Result d =
        runTool({"decompose", "in.wav", "-k", "3", "--seed", "2", "-o", "run", "-q"}, dir.path());
    ASSERT_EQ(d.exitCode, 0) << d.err;
    const json good = readJson(dir / "run/components.json");
    const std::vector<std::string> before = listDir(dir / "run");
    struct Case {
        const char *what;
        std::function<void(json &)> damage;
    } cases[] = {
        {"every activation 1e308", [](json &f) { setAll(f["H"], 1e308); }},
        {"one activation 1e308", [](json &f) { f["H"][5] = 1e308; }},
        {"W and H 1e200 each",
         [](json &f) {
             setAll(f["W"], 1e200);
             setAll(f["H"], 1e200);
         }},
        {"W at the largest double", [](json &f) { f["W"][0] = 1.7976931348623157e308; }},
        {"a negative basis value", [](json &f) { f["W"][3] = -0.5; }},
        {"a negative activation", [](json &f) { f["H"][0] = -1e-3; }},
        {"NaN as a string", [](json &f) { f["H"][1] = "NaN"; }},
        {"Infinity as a string", [](json &f) { f["W"][1] = "Infinity"; }},
        {"a null value", [](json &f) { f["W"][2] = nullptr; }},
        {"rows 2^62", [](json &f) { f["rows"] = 1LL << 62; }},
        {"window 2^40", [](json &f) { f["window"] = 1LL << 40; }},
        {"rows negative", [](json &f) { f["rows"] = -3; }},
    };
    for (const char *format : {"float", "pcm16"})
        for (const Case &c : cases) {
            json j = good;
            c.damage(j["factors"]);
            std::ofstream(dir / "run/components.json") << j.dump();
            Result r = runTool({"remix", "run", "--group", "1,2", "--format", format}, dir.path());
            EXPECT_EQ(r.exitCode, 1) << c.what << " " << format;
            EXPECT_EQ(r.err.rfind("korvane remix: 'run/components.json' cannot be remixed", 0), 0u)
                << c.what << ": " << r.err;
            EXPECT_NE(r.err.find("the record is damaged"), std::string::npos)
                << c.what << ": " << r.err;
            EXPECT_EQ(listDir(dir / "run"), before) << c.what;
        }
    // the record as written still remixes
    std::ofstream(dir / "run/components.json") << good.dump();
    Result r = runTool({"remix", "run", "--group", "1,2", "--format", "float", "-q"}, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    Sound s;
    ASSERT_TRUE(readSound(dir / "run/in-group.wav", s));
    for (float v : s.samples) ASSERT_TRUE(std::isfinite(v));
}
