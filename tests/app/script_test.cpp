// `korvane run`: the patch-script grammar, its errors, the console and the
// trace, driven through the real executable.
#include "tool_runner.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

namespace {

struct Sound {
    int channels = 0, rate = 0, format = 0;
    std::vector<float> samples;
};

bool writePcm16(const std::string &path, int channels, int rate,
                const std::vector<short> &samples) {
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = rate;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    sf_writef_short(f, samples.data(), static_cast<sf_count_t>(samples.size()) / channels);
    return sf_close(f) == 0;
}

Sound readSound(const std::string &path) {
    SF_INFO info{};
    Sound s;
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return s;
    s.channels = info.channels;
    s.rate = info.samplerate;
    s.format = info.format;
    s.samples.resize(static_cast<size_t>(info.frames * info.channels));
    sf_readf_float(f, s.samples.data(), info.frames);
    sf_close(f);
    return s;
}

}  // namespace

TEST(Script, BuffersReadAndWriteEveryChannelAtTheFileRate) {
    Scratch s;
    // 16-bit input: every value k arrives as the float k/32768
    std::vector<short> pcm16;
    std::vector<float> pcm;
    for (int i = 0; i < 3 * 50; ++i) {
        pcm16.push_back(static_cast<short>((i * 977) % 65536 - 32768));
        pcm.push_back(static_cast<float>(pcm16.back()) / 32768.0f);
    }
    ASSERT_TRUE(writePcm16(s.path("in.wav"), 3, 22050, pcm16));
    ToolRun r = s.run("buffer in in.wav\n"
                      "write in copy.wav\n"
                      "buffer z 2 4 8000\n"
                      "write z z.wav\n"
                      "buffer d 1 3\n"
                      "write d d.wav\n");
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
    EXPECT_EQ(readSound(s.path("d.wav")).rate, 44100);   // the default rate
}

TEST(Script, MessagesCommentsAndNumberSelectors) {
    Scratch s;
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
    EXPECT_EQ(r.console(), (std::vector<std::string>{"P p: bang", "P p: list 1 2.5 foo",
                                                     "P p: float 2.5", "P p: int 3",
                                                     "P p: list 1 2.0", "P p: setWin 0.08"}));
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
    Scratch s;
    for (const Case &c : cases) {
        // line 4 fails; what comes after it never runs
        ToolRun r = s.run("new p print\n# comment\n\n" + c.line + "\nsend p 0 bang\n");
        EXPECT_NE(r.status, 0) << c.line;
        EXPECT_EQ(r.err.rfind("script.kvpatch:4: " + c.message, 0), 0u)
            << c.line << " -> " << r.err;
        EXPECT_TRUE(r.console().empty()) << c.line;
    }
    ToolRun r = s.run("buffer b 1 4\nwrite b no/such/dir/x.wav\n");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err.rfind("script.kvpatch:2: cannot write sound file no/such/dir/x.wav", 0), 0u)
        << r.err;
}

TEST(Script, AMessageHoldsAtMost32767Atoms) {
    Scratch s;
    std::string line = "send p 0 list";
    for (int i = 0; i < 32768; ++i) line += " 1";
    ToolRun r = s.run("new p print\n" + line + "\n");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err, "script.kvpatch:2: a message holds at most 32767 atoms\n");
}

TEST(Script, WithoutATraceConsoleLinesGoToTheTerminal) {
    Scratch s;
    ToolRun r = s.run("new p print\nsend p 0 bang\nnew lp kv_lsProd\nsend lp 0 foo\n", "", false);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "p: bang\nkv_lsProd object loaded...\n");
    EXPECT_EQ(r.err, "kv_lsProd: doesn't understand \"foo\"\n");
}

TEST(Script, TraceHoldsEveryEventInOrder) {
    Scratch s;
    ToolRun r = s.run("new lp kv_lsProd\nnew p print\nconnect lp 0 p 0\n"
                      "send lp 1 list 1 2\nsend lp 0 1\nsend p 0 nope\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.traceLines, (std::vector<std::string>{
                                R"({"console":"post","text":"kv_lsProd object loaded..."})",
                                R"({"obj":"lp","outlet":0,"sel":"list","atoms":[1.0,2.0]})",
                                R"({"console":"post","text":"p: list 1.0 2.0"})",
                                R"({"console":"post","text":"p: nope"})"}));
    EXPECT_TRUE(r.out.empty());
    EXPECT_TRUE(r.err.empty());
}

TEST(Script, PluginFolderFromOptionThenEnvironmentThenBesideTheTool) {
    Scratch s;
    std::filesystem::create_directory(s.path("empty"));
    const std::string script = "new lp kv_lsProd\n";
    ToolRun r = s.run(script, "--plugins empty");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err.rfind("script.kvpatch:1: no class or plug-in named kv_lsProd", 0), 0u) << r.err;
    r = s.run(script, "", true, "KORVANE_PLUGIN_PATH=empty:" KV_PLUGIN_DIR);
    EXPECT_EQ(r.status, 0) << r.err;
    r = s.run(script, "--plugins empty", true, "KORVANE_PLUGIN_PATH=" KV_PLUGIN_DIR);
    EXPECT_NE(r.status, 0) << "the option comes first";
    r = s.run(script);
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(Script, ScriptFromStandardInputAndUnreadableFiles) {
    Scratch s;
    std::string cmd = std::string("printf 'new p print\\nsend p 0 hi\\n' | '") + KORVANE_EXE +
                      "' run - > " + s.path("o.txt");
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(s.read("o.txt"), "p: hi\n");
    cmd = std::string("'") + KORVANE_EXE + "' run " + s.path("absent.kvpatch") + " 2>/dev/null";
    EXPECT_NE(std::system(cmd.c_str()), 0);
    ToolRun r = s.run("new p print\n", "--trace no/such/dir/t.jsonl", false);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err, "cannot write trace file no/such/dir/t.jsonl\n");
}
