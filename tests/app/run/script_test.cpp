// `korvane run`: the patch-script grammar, its errors, the console and the
// trace, driven through the real executable.
#include "tool_runner.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <csignal>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace {

using kvtest::Sound;

constexpr int kPcm16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

Sound readSound(const std::string &path) {
    Sound s;
    EXPECT_TRUE(kvtest::readSound(path, s)) << path;
    return s;
}

}  // namespace

TEST(Script, BuffersReadAndWriteEveryChannelAtTheFileRate) {
    ToolFolder s;
    // 16-bit input: every value k arrives as the float k/32768
    std::vector<short> pcm16;
    std::vector<float> pcm;
    for (int i = 0; i < 3 * 50; ++i) {
        pcm16.push_back(static_cast<short>((i * 977) % 65536 - 32768));
        pcm.push_back(static_cast<float>(pcm16.back()) / 32768.0f);
    }
    ASSERT_TRUE(kvtest::writeSound(s.path("in.wav"), kPcm16, 3, 22050, pcm16));
    ToolRun r = s.run("buffer in in.wav\n"
                      "write in copy.wav\n"
                      "buffer z 2 4 8000\n"
                      "write z z.wav\n"
                      "");
    ASSERT_EQ(r.status, 0) << r.err;
    Sound copy = readSound(s.path("copy.wav"));
    EXPECT_EQ(copy.channels, 3);
    EXPECT_EQ(copy.rate, 22050);
    EXPECT_EQ(copy.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    EXPECT_EQ(copy.samples, pcm);
    Sound z = readSound(s.path("z.wav"));
    EXPECT_EQ(z.channels, 2);
    EXPECT_EQ(z.rate, 8000);
    EXPECT_EQ(z.samples, std::vector<float>(8, 0.0f));
}

TEST(Script, MessagesCommentsAndNumberSelectors) {
    ToolFolder s;
    ToolRun r = s.run("# a patch\n"
                      "new p print   # posts what it gets\n"
                      "\n"
                      "send p 0 bang\n"
                      "sched p 0 list 1 2.5 foo\n"
                      "send p 0 2.5\n"
                      "send p 0 3\n"
                      "send p 0 1 2.\n"
                      "send p 0 setWin 0.08\n"
                      "dsp on\n"
                      "free p\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.console(),
              (std::vector<std::string>{"P p: bang", "P p: list 1 2.5 foo", "P p: float 2.5",
                                        "P p: int 3", "P p: list 1 2.0", "P p: setWin 0.08"}));
}

TEST(Script, AStatementThatCannotBeCarriedOutStopsTheRun) {
    struct Case {
        std::string line, message;
    };
    const Case cases[] = {
        {"frobnicate x", "unknown statement \"frobnicate\""},
        {"send nobody 0 bang", "no object named nobody"},
        {"new q no_such_class", "no class or plug-in named no_such_class"},
        {"new p print", "an object named p already exists"},
        {"write nobuf out.wav", "no buffer named nobuf"},
        {"buffer b missing.wav", "cannot read sound file missing.wav"},
        {"buffer b script.kvpatch", "cannot read sound file script.kvpatch"},
        {"buffer b 2 x", "buffer: channels and frames must be whole numbers of 0 or more"},
        {"buffer b -1 4", "buffer: channels and frames must be whole numbers of 0 or more"},
        {"buffer b 2 4 0", "buffer: the rate must be a number above 0"},
        {"buffer b 2 4 fast", "buffer: the rate must be a number above 0"},
        {"buffer b 2 4 1 1", "usage: buffer NAME FILE | buffer NAME CHANNELS FRAMES [RATE]"},
        {"write b", "usage: write NAME FILE"},
        {"connect p 0 p", "usage: connect ID OUTLET ID INLET"},
        {"connect p 0 p 0", "p has no outlet 0"},
        {"send p 1 bang", "p has no inlet 1"},
        {"send p -1 bang", "usage: send ID INLET SELECTOR [ATOMS...]"},
        {"sched p", "usage: sched ID INLET SELECTOR [ATOMS...]"},
        {"free", "usage: free ID"},
        {"free nobody", "no object named nobody"},
        {"dsp off", "usage: dsp on"},
    };
    ToolFolder s;
    for (const Case &c : cases) {
        // line 4 fails; what comes after it never runs
        ToolRun r = s.run("new p print\n# comment\n\n" + c.line + "\nsend p 0 bang\n");
        EXPECT_NE(r.status, 0) << c.line;
        EXPECT_EQ(r.err.rfind("korvane run: script.kvpatch:4: " + c.message, 0), 0u)
            << c.line << " -> " << r.err;
        EXPECT_TRUE(r.console().empty()) << c.line;
    }
    ToolRun r = s.run("buffer b 1 4\nwrite b no/such/dir/x.wav\n");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err, "korvane run: script.kvpatch:2: cannot write sound file no/such/dir/x.wav: "
                     "No such file or directory\n")
        << r.err;
}

TEST(Script, AMessageHoldsAtMost32767Atoms) {
    ToolFolder s;
    std::string line = "send p 0 list";
    for (int i = 0; i < 32768; ++i) line += " 1";
    ToolRun r = s.run("new p print\n" + line + "\n");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err, "korvane run: script.kvpatch:2: a message holds at most 32767 atoms\n");
}

TEST(Script, WithoutATraceConsoleLinesGoToTheTerminal) {
    ToolFolder s;
    ToolRun r = s.run("new p print\nsend p 0 bang\nnew lp kv_lsProd\nsend lp 0 foo\n", "", false);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "p: bang\nkv_lsProd object loaded...\n");
    EXPECT_EQ(r.err, "script.kvpatch:4: kv_lsProd: doesn't understand \"foo\"\n");
}

TEST(Script, TraceHoldsEveryEventInOrder) {
    ToolFolder s;
    ToolRun r = s.run("new lp kv_lsProd\nnew p print\nconnect lp 0 p 0\n"
                      "send lp 1 list 1 2\nsend lp 0 1\nsend p 0 nope\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.traceLines,
              (std::vector<std::string>{R"({"console":"post","text":"kv_lsProd object loaded..."})",
                                        R"({"obj":"lp","outlet":0,"sel":"list","atoms":[1.0,2.0]})",
                                        R"({"console":"post","text":"p: list 1.0 2.0"})",
                                        R"({"console":"post","text":"p: nope"})"}));
    EXPECT_TRUE(r.out.empty());
    EXPECT_TRUE(r.err.empty());
}

TEST(Script, PluginFolderFromOptionThenEnvironmentThenBesideTheTool) {
    ToolFolder s;
    std::filesystem::create_directory(s.path("empty"));
    const std::string script = "new lp kv_lsProd\n";
    ToolRun r = s.run(script, "--plugins empty");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err, "korvane run: script.kvpatch:1: no class or plug-in named kv_lsProd (searched "
                     "empty; --plugins DIRS or $KORVANE_PLUGIN_PATH sets the folders)\n");
    r = s.run(script, "", true, "KORVANE_PLUGIN_PATH=empty:" KV_PLUGIN_DIR);
    EXPECT_EQ(r.status, 0) << r.err;
    r = s.run(script, "--plugins empty", true, "KORVANE_PLUGIN_PATH=" KV_PLUGIN_DIR);
    EXPECT_NE(r.status, 0) << "the option comes first";
    r = s.run(script);
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(Script, ScriptFromStandardInputAndUnreadableFiles) {
    ToolFolder s;
    std::string cmd = std::string("printf 'new p print\\nsend p 0 hi\\n' | '") + KORVANE_EXE +
                      "' run - > " + s.path("o.txt");
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(s.read("o.txt"), "p: hi\n");
    cmd = std::string("'") + KORVANE_EXE + "' run " + s.path("absent.kvpatch") + " 2>/dev/null";
    EXPECT_NE(std::system(cmd.c_str()), 0);
    ToolRun r = s.run("new p print\n", "--trace no/such/dir/t.jsonl", false);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(
        r.err,
        "korvane run: cannot write trace file no/such/dir/t.jsonl: No such file or directory\n");
}

namespace {

// A one-second mono test piece, written as 16-bit PCM.
void writeTones(const ToolFolder &s, const std::string &name, int rate) {
    ASSERT_TRUE(kvtest::writeSound(s.path(name), kvtest::makeSound(1, rate, 1.0, 0.37), kPcm16));
}

// korvane~ decomposes `in` and resynthesises one component into in_out
// through two list stores, as examples/typical.kvpatch does.
const char *kResynthesis = "new k korvane~\n"
                           "new act kv_lsProd\nnew base kv_lsProd\n"
                           "connect k 0 act 1\nconnect k 1 base 1\n"
                           "connect act 0 k 1\nconnect base 0 k 2\n"
                           "send k 0 loadBuffer in\nsend k 0 int 2\nsend k 0 decomp\n"
                           "send act 0 float 1.\nsend base 0 float 1.\nsend k 2 bang\n"
                           "write in_out out.wav\n";

}  // namespace

TEST(Script, ObjectErrorsCarryTheScriptLineAndFailOnlyWhenStrict) {
    ToolFolder s;
    const std::string script = "new k korvane~\nnew lp kv_lsProd\n"
                               "send k 0 decomp\n"  // nothing loaded
                               "send lp 0 frob\n"   // the host's own refusal
                               "connect lp 0 k 2\n"
                               "send lp 1 list 1 2 3\n"
                               "send lp 0 1\n"  // a basis reaches korvane~,
                                                // which reports it
                               "new p print\nsend p 0 fine\n";
    ToolRun r = s.run(script, "", false);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "script.kvpatch:3: korvane~: Factorization error: 0 components selected.\n"
                     "script.kvpatch:4: kv_lsProd: doesn't understand \"frob\"\n"
                     "script.kvpatch:7: korvane~: Error: 3 base elements read, 0 expected.\n");
    EXPECT_NE(r.out.find("p: fine"), std::string::npos);
    // with a trace the errors are still reported, and the trace keeps them as posted
    r = s.run(script);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;
    EXPECT_EQ(r.console()[2], "E Factorization error: 0 components selected.");
    r = s.run(script, "--strict", false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "script.kvpatch:3: korvane~: Factorization error: 0 components selected.\n"
                     "korvane run: script.kvpatch:3: an object reported an error (--strict)\n");
    EXPECT_EQ(r.out.find("p: fine"), std::string::npos) << "the run stops there";
    r = s.run("new p print\nsend p 0 fine\n", "--strict");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(Script, BuffersWithoutARateTakeTheRateOfTheFirstSoundRead) {
    ToolFolder s;
    writeTones(s, "a.wav", 22050);
    writeTones(s, "b.wav", 16000);
    ToolRun r = s.run("buffer early 1 4\nbuffer a a.wav\nbuffer late 1 4\n"
                      "buffer b b.wav\nbuffer fixed 1 4 8000\nbuffer early2 1 4\n"
                      "buffer remade 1 4\nbuffer remade 1 4 11025\n"
                      "write early early.wav\nwrite late late.wav\nwrite fixed fixed.wav\n"
                      "write b b2.wav\nwrite remade remade.wav\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readSound(s.path("early.wav")).rate, 22050);
    EXPECT_EQ(readSound(s.path("late.wav")).rate, 22050);
    EXPECT_EQ(readSound(s.path("fixed.wav")).rate, 8000);
    EXPECT_EQ(readSound(s.path("b2.wav")).rate, 16000);
    EXPECT_EQ(readSound(s.path("remade.wav")).rate, 11025);
    r = s.run("buffer d 1 3\nwrite d d.wav\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readSound(s.path("d.wav")).rate, 44100);  // no sound read at all
}

TEST(Script, ABufferAnObjectWritesKeepsItsRate) {
    ToolFolder s;
    writeTones(s, "in.wav", 22050);
    for (const std::string made : {"buffer in_out 2 1\n", "buffer in_out 2 1 8000\n"}) {
        ToolRun r = s.run(made + "buffer in in.wav\n" + kResynthesis, "--strict");
        ASSERT_EQ(r.status, 0) << r.err;
        Sound out = readSound(s.path("out.wav"));
        EXPECT_EQ(out.rate, made.size() > 20 ? 8000 : 22050) << made;
        EXPECT_EQ(out.channels, 2);
        EXPECT_EQ(out.samples.size(), 2u * 22050);
        float peak = 0;
        for (float v : out.samples) peak = std::max(peak, std::fabs(v));
        EXPECT_GT(peak, 0.01f) << "the resynthesis was written";
    }
}

TEST(Script, WriteReplacesAFileOnlyOnceTheNewOneIsComplete) {
    ToolFolder s;
    s.write("old.wav", "the old file");
    ::chmod(s.path("old.wav").c_str(), 0640);
    std::filesystem::create_symlink("old.wav", s.path("link.wav"));
    // a file-size limit stands in for a full disk; the signal it sends is ignored
    const std::string full = "trap '' XFSZ; ulimit -f 40;";
    ToolRun r = s.run("buffer b 2 100000\nwrite b link.wav\n", "", false, "", full);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "korvane run: script.kvpatch:2: cannot write sound file link.wav: File too large\n");
    EXPECT_EQ(s.read("old.wav"), "the old file");
    // the trace goes the same way
    s.write("trace.txt", "old trace");
    std::string many = "new p print\n";
    for (int i = 0; i < 2000; ++i) many += "send p 0 list 1 2 3 4 5 6 7 8 9\n";
    r = s.run(many, "--trace trace.txt", false, "", full);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "korvane run: cannot write trace file trace.txt: File too large\n");
    EXPECT_EQ(s.read("trace.txt"), "old trace");
    // nothing left behind under another name
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(s.path("")))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"err.txt", "link.wav", "old.wav", "out.txt",
                                               "script.kvpatch", "trace.txt"}));
    // with room, the link's target is replaced and keeps its mode
    r = s.run("buffer b 2 5 8000\nwrite b link.wav\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_symlink(s.path("link.wav")));
    EXPECT_EQ(readSound(s.path("old.wav")).samples, std::vector<float>(10, 0.0f));
    struct stat st;
    ASSERT_EQ(::stat(s.path("old.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    r = s.run("buffer b 1 5\nwrite b " + s.path("") + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
}

TEST(Script, ASignalRemovesTheTemporaryFiles) {
    ToolFolder s;
    int in[2];
    ASSERT_EQ(::pipe(in), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::close(in[1]);
        if (::chdir(s.path("").c_str()) == 0)
            ::execl(KORVANE_EXE, KORVANE_EXE, "run", "-", "--trace", "t.jsonl", (char *)nullptr);
        ::_exit(127);
    }
    ::close(in[0]);
    // the script waits on its input while the trace is open in its staging folder
    auto names = [&] {
        std::vector<std::string> n;
        for (const auto &e : std::filesystem::directory_iterator(s.path("")))
            n.push_back(e.path().filename().string());
        return n;
    };
    for (int i = 0; i < 1000 && names().empty(); ++i) ::usleep(10000);
    ASSERT_EQ(names().size(), 1u);
    EXPECT_EQ(names()[0].rfind(".korvane-stage-", 0), 0u) << names()[0];
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(in[1]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_TRUE(names().empty());
}
