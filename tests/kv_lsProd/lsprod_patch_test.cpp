// kv_lsProd driven through `korvane run` as a user would drive it.
#include "tool_runner.hpp"

#include <gtest/gtest.h>

namespace {

const std::string head = "new lp kv_lsProd\nnew p print\nconnect lp 0 p 0\n";

// the atoms of every list that left lp, as their trace text
std::vector<std::string> lists(const ToolRun &r) {
    std::vector<std::string> out;
    for (const auto &m : r.messages()) {
        EXPECT_EQ(m["obj"], "lp");
        EXPECT_EQ(m["outlet"], 0);
        EXPECT_EQ(m["sel"], "list");
        out.push_back(m["atoms"].dump());
    }
    return out;
}

}  // namespace

TEST(LsProd, ScalesTheStoredListByEachNumber) {
    ToolFolder s;
    ToolRun r = s.run(head + "send lp 0 2.5\n"  // nothing stored yet: an empty list
                             "send lp 1 list 1 2 3\n"
                             "send lp 0 float 2.0\n"
                             "send lp 1 float 2.0\n"  // the right inlet scales too
                             "send lp 1 list 7 8\n"   // replaces, never appends
                             "send lp 0 1.\n"
                             "send lp 1 list 1 2\n"
                             "send lp 0 2.\n"    // each number scales the store,
                             "send lp 0 3.\n");  // not the last output
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lists(r), (std::vector<std::string>{"[]", "[2.0,4.0,6.0]", "[2.0,4.0,6.0]",
                                                  "[7.0,8.0]", "[2.0,4.0]", "[3.0,6.0]"}));
    for (const auto &m : r.messages())
        for (const auto &a : m["atoms"]) EXPECT_TRUE(a.is_number_float());
}

TEST(LsProd, ProductsAreFormedInSinglePrecision) {
    ToolFolder s;
    ToolRun r = s.run(head + "send lp 1 list 0.1\nsend lp 0 3\n");
    ASSERT_EQ(r.status, 0) << r.err;
    // float(0.1) * float(3) rounded to float, then widened: not 0.30000000000000004
    ASSERT_EQ(r.messages().size(), 1u);
    ASSERT_EQ(r.traceLines.size(), 3u);
    EXPECT_NE(r.traceLines[1].find("[0.30000001192092896]"), std::string::npos) << r.traceLines[1];
    EXPECT_EQ(r.messages()[0]["atoms"][0].get<double>(), static_cast<double>(0.1f * 3.0f));
    EXPECT_EQ(r.console().back(), "P p: list 0.30000001192092896");
}

TEST(LsProd, ListsOnTheLeftAreIgnoredAndIntsAreStoredAsFloats) {
    ToolFolder s;
    ToolRun r = s.run(head + "send lp 1 list 1 2\n"
                             "send lp 0 list 5 6 7\n"  // left inlet: silently ignored
                             "send lp 0 int 3\n"       // an int arrives as the float 3
                             "send lp 1 list 4 foo\n"  // a symbol counts as 0
                             "sched lp 0 0.5\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lists(r), (std::vector<std::string>{"[3.0,6.0]", "[2.0,0.0]"}));
    EXPECT_EQ(r.console(), (std::vector<std::string>{"P kv_lsProd object loaded...",
                                                     "P p: list 3.0 6.0", "P p: list 2.0 0.0"}));
}

TEST(LsProd, NumbersBeyondSinglePrecisionBecomeInfinite) {
    ToolFolder s;
    ToolRun r = s.run(head + "send lp 1 list 1e39 0 -2\nsend lp 0 2.\nsend lp 0 1e39\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto c = r.console();
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[1], "P p: list inf 0.0 -4.0");
    EXPECT_EQ(c[2], "P p: list inf nan -inf");
}

TEST(LsProd, LoadsOnceRefusesOtherMessagesAndFreesCleanly) {
    ToolFolder s;
    // under the sanitizer build a store left behind at deletion fails the run
    ToolRun r = s.run("new a kv_lsProd 5\nnew b kv_lsProd\n"
                      "send a 1 list 1 2 3\nsend b 1 list 4\n"
                      "send a 0 bang\nsend a 0 set 1\n"
                      "free a\nfree b\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.console(), (std::vector<std::string>{"P kv_lsProd object loaded...",
                                                     "E kv_lsProd: doesn't understand \"bang\"",
                                                     "E kv_lsProd: doesn't understand \"set\""}));
    EXPECT_TRUE(r.messages().empty());
}

TEST(LsProd, AFullLengthListKeepsEveryElement) {
    ToolFolder s;
    std::string list = "send lp 1 list";
    std::vector<double> values;
    for (int i = 0; i < 10000; ++i) {
        double v = 0.1234567890123456789 * (i + 1) - 617.0;
        values.push_back(v);
        char buf[40];
        std::snprintf(buf, sizeof buf, " %.17g", v);
        list += buf;
    }
    ToolRun r = s.run("new lp kv_lsProd\n" + list + "\nsend lp 0 1.\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto messages = r.messages();
    ASSERT_EQ(messages.size(), 1u);
    const auto &atoms = messages[0]["atoms"];
    ASSERT_EQ(atoms.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i)
        ASSERT_EQ(atoms[i].get<double>(), static_cast<double>(static_cast<float>(values[i]))) << i;
}
