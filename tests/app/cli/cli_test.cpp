// The command line's conventions: --version, unknown commands, exit status 2
// for a command line that cannot be taken and 1 for a failure, and the
// prefix of every message.
#include "cli/command.hpp"
#include "tool_runner.hpp"

#include <gtest/gtest.h>

using korvane::nearestName;

TEST(Cli, VersionComesFromTheProject) {
    ToolFolder s;
    ToolRun r = s.tool("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "korvane " KV_VERSION "\n");
}

TEST(Cli, NearestCommandName) {
    const std::vector<std::string> names = {"decompose", "demo", "run", "remix"};
    EXPECT_EQ(nearestName("decompos", names), "decompose");
    EXPECT_EQ(nearestName("decmopose", names), "decompose");  // two letters swapped
    EXPECT_EQ(nearestName("rnu", names), "run");
    EXPECT_EQ(nearestName("dmeo", names), "demo");
    EXPECT_EQ(nearestName("rem", names), "remix");  // a unique beginning
    EXPECT_EQ(nearestName("de", names), "");        // two begin so, neither is near
    EXPECT_EQ(nearestName("frobnicate", names), "");
    EXPECT_EQ(nearestName("x", names), "");
}

TEST(Cli, UnknownCommandIsNamedWithTheNearestMatch) {
    ToolFolder s;
    ToolRun r = s.tool("decompos loop.wav -k 3");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "korvane: unknown command \"decompos\"; did you mean \"decompose\"?\n"
                     "(korvane --help lists the commands)\n");
    r = s.tool("frobnicate");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "korvane: unknown command \"frobnicate\"\n(korvane --help lists the commands)\n");
}

TEST(Cli, EveryUsageErrorExitsWith2AndNamesTheCommand) {
    struct Case {
        std::string args, prefix;
    };
    const Case cases[] = {
        {"", "korvane: no command given"},
        {"--frob", "korvane: "},
        {"run", "korvane run: SCRIPT is required"},
        {"run a.kvpatch --frob", "korvane run: "},
        {"run a.kvpatch --trace", "korvane run: "},
        {"decompose", "korvane decompose: "},
        {"decompose in.wav -k x", "korvane decompose: "},
        {"decompose in.wav -k 0", "korvane decompose: "},
        {"decompose in.wav --hop 2", "korvane decompose: "},
        {"decompose in.wav --format mp3", "korvane decompose: "},
        {"decompose in.wav --only 9 -k 2", "korvane decompose: "},
        {"demo --frob", "korvane demo: "},
        {"remix", "korvane remix: DIR is required"},
        {"remix d", "korvane remix: at least one --group is needed"},
        {"remix d --group 1 --format wav", "korvane remix: "},
        {"decompose in.wav --group 1 --group", "korvane decompose: "},
    };
    ToolFolder s;
    for (const Case &c : cases) {
        ToolRun r = s.tool(c.args);
        EXPECT_EQ(r.status, 2) << c.args << ": " << r.err;
        EXPECT_EQ(r.err.rfind(c.prefix, 0), 0u) << c.args << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << c.args;
    }
}

TEST(Cli, FailuresExitWith1AndHelpWith0) {
    ToolFolder s;
    ToolRun r = s.tool("decompose absent.wav");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("korvane decompose: ", 0), 0u) << r.err;
    r = s.tool("run absent.kvpatch");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "korvane run: cannot read script absent.kvpatch: No such file or directory\n");
    for (const char *args : {"--help", "run --help", "decompose --help"}) {
        r = s.tool(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_NE(r.out.find("Usage: korvane"), std::string::npos) << args << r.out;
    }
}
