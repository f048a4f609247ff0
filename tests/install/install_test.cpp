// `cmake --install` into DESTDIR with a prefix, then the installed tool run
// from another folder with no plug-in path set, and the installed libraries
// built against through korvane.pc.
#include "tool_runner.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>

namespace {

const std::string kPrefix = "/opt/kv";

class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new ToolFolder;
        std::string cmd = "DESTDIR='" + scratch_->path("stage") +
                          "' '" KV_CMAKE "' --install '" KV_BUILD_DIR "' --prefix " + kPrefix +
                          " > '" + scratch_->path("install.log") + "' 2>&1";
        installStatus_ = std::system(cmd.c_str());
        std::filesystem::create_directory(scratch_->path("work"));
    }
    static void TearDownTestSuite() { delete scratch_; }
    void SetUp() override { ASSERT_EQ(installStatus_, 0) << scratch_->read("install.log"); }

    static std::string root(const std::string &rel) {
        return scratch_->path("stage") + kPrefix + "/" + rel;
    }
    static std::string exe() { return root(KV_BINDIR "/korvane"); }
    // the installed tool, run in work/ with no plug-in path set
    static ToolRun tool(const std::string &args) {
        return scratch_->tool(args, "cd work && env -u KORVANE_PLUGIN_PATH", exe());
    }

    static ToolFolder *scratch_;
    static int installStatus_;
};

ToolFolder *Installed::scratch_ = nullptr;
int Installed::installStatus_ = -1;

}  // namespace

TEST_F(Installed, TreeHoldsTheToolPluginsLibrariesHeadersAndManPage) {
    for (const std::string rel :
         {KV_BINDIR "/korvane", KV_LIBDIR "/korvane/plugins/korvane~.so",
          KV_LIBDIR "/korvane/plugins/kv_lsProd.so", KV_LIBDIR "/libqm_audio.a",
          KV_LIBDIR "/libqm_matrixOps.a", KV_LIBDIR "/libkv_accelerate.a",
          KV_LIBDIR "/libkv_audiotoolbox.a", KV_LIBDIR "/pkgconfig/korvane.pc",
          KV_INCLUDEDIR "/korvane/qm_audio.h", KV_INCLUDEDIR "/korvane/qm_matrixOps.h",
          KV_INCLUDEDIR "/korvane/Accelerate/Accelerate.h",
          KV_INCLUDEDIR "/korvane/AudioToolbox/AudioToolbox.h",
          KV_INCLUDEDIR "/korvane/CoreFoundation/CoreFoundation.h", KV_MANDIR "/man1/korvane.1"})
        EXPECT_TRUE(std::filesystem::exists(root(rel))) << rel;
    std::ifstream man(root(KV_MANDIR "/man1/korvane.1"));
    std::string title;
    std::getline(man, title);
    EXPECT_EQ(title,
              ".TH KORVANE 1 \"December 2026\" \"korvane " KV_VERSION "\" \"User Commands\"");
    // it reads as a man page: groff finds nothing to warn about
    if (std::system("command -v groff > /dev/null") == 0) {
        std::string cmd =
            "groff -man -Tutf8 -ww -z '" + root(KV_MANDIR "/man1/korvane.1") + "' 2>&1";
        FILE *p = ::popen(cmd.c_str(), "r");
        char buf[256];
        std::string warnings;
        while (p && std::fgets(buf, sizeof buf, p)) warnings += buf;
        if (p) ::pclose(p);
        EXPECT_EQ(warnings, "");
    }
}

TEST_F(Installed, ToolDecomposesRemixesAndRunsPatchesFromAnotherFolder) {
    ASSERT_TRUE(kvtest::writeSound(scratch_->path("work/tone.wav"),
                                   kvtest::makeSound(1, 22050, 1.0, 0.3),
                                   SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ToolRun r = tool("--version");
    EXPECT_EQ(r.out, "korvane " KV_VERSION "\n");
    r = tool("decompose tone.wav -k 2 --seed 1 -q -o parts");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::exists(scratch_->path("work/parts/tone-c02.wav")));
    r = tool("remix parts --group 1 --group 1-2 -o mixes -q");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::exists(scratch_->path("work/mixes/tone-group2.wav")));
    scratch_->write("work/patch.kvpatch",
                    "buffer in tone.wav\nbuffer in_out 2 1\n"
                    "new k korvane~\nnew act kv_lsProd\nnew base kv_lsProd\n"
                    "connect k 0 act 1\nconnect k 1 base 1\n"
                    "connect act 0 k 1\nconnect base 0 k 2\n"
                    "send k 0 loadBuffer in\nsend k 0 int 2\nsend k 0 decomp\n"
                    "send act 0 1.\nsend base 0 1.\nsend k 2 bang\n"
                    "write in_out out.wav\n");
    r = tool("run patch.kvpatch --strict --trace trace.jsonl");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::exists(scratch_->path("work/out.wav")));
    EXPECT_NE(scratch_->read("work/trace.jsonl")
                  .find(R"({"obj":"k","outlet":2,"sel":"bang","atoms":[]})"),
              std::string::npos);
    // a plug-in that is not there names the folder the installed tool searched
    scratch_->write("work/missing.kvpatch", "new x no_such_class\n");
    r = tool("run missing.kvpatch");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("searched " + std::filesystem::path(exe()).parent_path().string() + "/"),
              std::string::npos)
        << r.err;
}

TEST_F(Installed, LibrariesBuildThroughPkgConfig) {
    scratch_->write("work/use.c",
                    "#include <qm_matrixOps.h>\n#include <qm_audio.h>\n#include <stdio.h>\n"
                    "int main(void) {\n"
                    "    double a[3] = {1, 2, 3}, b[3] = {1, 0, 7};\n"
                    "    printf(\"%.17g\\n\", qm_euclDist(a, b, 3));\n"
                    "    return 0;\n}\n");
    std::string cmd =
        "cd '" + scratch_->path("work") + "' && PKG_CONFIG_PATH='" + root(KV_LIBDIR "/pkgconfig") +
        "' && export PKG_CONFIG_PATH && '" KV_CC "' " KV_CHECK_FLAGS
        " use.c -o use $(pkg-config --cflags --libs korvane) > cc.log 2>&1 && ./use > use.txt";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << scratch_->read("work/cc.log");
    double d = std::stod(scratch_->read("work/use.txt"));
    EXPECT_NEAR(d, std::sqrt(0.0 + 4 + 16), 1e-9);
}
