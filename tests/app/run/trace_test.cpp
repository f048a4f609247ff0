// Trace lines: one JSON object per event, floats that read back exactly.
#include "run/trace.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>

using korvane::consoleEventJson;
using korvane::outletEventJson;

namespace {

t_atom f(double v) {
    t_atom a;
    atom_setfloat(&a, v);
    return a;
}
t_atom l(long v) {
    t_atom a;
    atom_setlong(&a, v);
    return a;
}
t_atom s(const char *v) {
    t_atom a;
    atom_setsym(&a, gensym(v));
    return a;
}

}  // namespace

TEST(Trace, OutletEventsKeepAtomKinds) {
    t_atom atoms[] = {f(0.5), l(1), s("foo"), f(1.0), f(1e-05), f(-0.0), l(-7)};
    EXPECT_EQ(outletEventJson("k", 0, gensym("list"), 7, atoms),
              R"({"obj":"k","outlet":0,"sel":"list","atoms":[0.5,1,"foo",1.0,1e-05,-0.0,-7]})");
    EXPECT_EQ(outletEventJson("k", 2, gensym("bang"), 0, nullptr),
              R"({"obj":"k","outlet":2,"sel":"bang","atoms":[]})");
}

TEST(Trace, FloatsReadBackToTheSameDouble) {
    const double values[] = {
        0.1,        1.0 / 3.0,    1e300, -2.5e-310,         0.30000001192092896,
        123456.789, 4294967296.0, 1e16,  9007199254740993.0};
    for (double v : values) {
        t_atom a = f(v);
        std::string line = outletEventJson("k", 0, gensym("float"), 1, &a);
        auto j = nlohmann::json::parse(line);
        ASSERT_TRUE(j["atoms"][0].is_number_float()) << line;
        EXPECT_EQ(j["atoms"][0].get<double>(), v) << line;
    }
}

TEST(Trace, NonFiniteFloatsBecomeNullAndStringsAreEscaped) {
    t_atom atoms[] = {f(std::nan("")), f(INFINITY), s("a\"b\\c\nd\x01")};
    std::string line = outletEventJson("o\"1", 0, gensym("list"), 3, atoms);
    auto j = nlohmann::json::parse(line);
    EXPECT_TRUE(j["atoms"][0].is_null());
    EXPECT_TRUE(j["atoms"][1].is_null());
    EXPECT_EQ(j["atoms"][2], "a\"b\\c\nd\x01");
    EXPECT_EQ(j["obj"], "o\"1");
}

TEST(Trace, ConsoleEvents) {
    EXPECT_EQ(consoleEventJson({false, "number of components set to 3"}),
              R"({"console":"post","text":"number of components set to 3"})");
    EXPECT_EQ(consoleEventJson({true, "Error: \"x\""}),
              R"({"console":"error","text":"Error: \"x\""})");
}

TEST(Trace, FloatsAreWrittenAsTheConsolePrintsThem) {
    // values whose shortest forms differ between printers: ties of a float's
    // digits, and the band 1e15..1e16 written without an exponent
    t_atom atoms[] = {f(-141.62380981445312), f(-0.5729446411132812), f(1999999973982208.0),
                      f(1e16)};
    EXPECT_EQ(
        outletEventJson("l", 0, gensym("list"), 4, atoms),
        R"({"obj":"l","outlet":0,"sel":"list","atoms":[-141.62380981445312,-0.5729446411132812,)"
        R"(1999999973982208.0,1e+16]})");
}

TEST(Trace, BytesThatAreNotUtf8StillMakeAJsonLine) {
    t_atom a = s("caf\xe9");  // Latin-1
    std::string line = outletEventJson("k", 0, gensym("list"), 1, &a);
    EXPECT_EQ(nlohmann::json::parse(line)["atoms"][0], "caf\xef\xbf\xbd");
    line = consoleEventJson({true, "cannot read sound file \xff.wav"});
    EXPECT_EQ(nlohmann::json::parse(line)["text"], "cannot read sound file \xef\xbf\xbd.wav");
}
