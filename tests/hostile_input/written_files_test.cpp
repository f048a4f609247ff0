// Files written when the input or the disk turns hostile: a picture of
// samples near the float limit, and `write` over a file on a full disk.
#include "json_files.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <signal.h>
#include <sys/resource.h>

#include <fstream>
#include <sstream>

using namespace kvtest;

namespace {

bool noPartFiles(const std::string &dir) {
    for (const std::string &n : listDir(dir))
        if (n.find(".part") != std::string::npos || n.find(".tmp") != std::string::npos)
            return false;
    return true;
}

}  // namespace

// Fault 3: the picture's spectrogram summed the channels in single
// precision; 2e38 + 2e38 became infinity, then NaN, then a colour index.
TEST(WrittenFiles, Fault3_PlotOfSamplesNearTheFloatLimit) {
    Scratch dir;
    Sound s;
    s.channels = 2;
    s.rate = 8000;
    s.samples.assign(4000, 2e38f);
    ASSERT_TRUE(writeSound(dir / "loud.wav", s, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    Result r = runTool({"decompose", "loud.wav", "--plot", "-k", "2", "-q"}, dir.path());
    EXPECT_EQ(r.signal, 0) << r.err;
    EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << r.err;
    EXPECT_TRUE(noPartFiles(dir / "loud"));
    if (r.exitCode == 0) {
        EXPECT_TRUE(exists(dir / "loud/decomposition.png"));
    }
    // spectra beyond float's range: refused before the factorisation, naming the file
    EXPECT_NE(r.err.find("'loud.wav' holds samples that are not finite numbers, or beyond"),
              std::string::npos)
        << r.err;
}

// Fault 6: `write` wrote in place; on a full disk it left a truncated file
// where the old one had been.
TEST(WrittenFiles, Fault6_RunWriteOnAFullDiskKeepsTheOldFile) {
    Scratch dir;
    {
        std::ofstream(dir / "keep.wav", std::ios::binary) << "the file that was there";
        std::ofstream(dir / "script.kvpatch") << "buffer b 2 100000 8000\nwrite b keep.wav\n";
    }
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_IGN);
    rlimit cut = saved;
    cut.rlim_cur = 48 * 1024;  // the buffer is 800 KB as a WAV
    setrlimit(RLIMIT_FSIZE, &cut);
    Result r = runTool({"run", "script.kvpatch"}, dir.path());
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("keep.wav"), std::string::npos) << r.err;
    EXPECT_TRUE(readText(dir / "keep.wav") == "the file that was there")
        << "keep.wav was overwritten";
    EXPECT_TRUE(noPartFiles(dir.path()));
}

// A sound far above full scale overflows the single-precision rounds: the
// run says so and factorises again in double, its record says which, and
// its components still sum to it.
TEST(WrittenFiles, ASoundTooLoudForSinglePrecisionIsFactorisedInDouble) {
    Scratch dir;
    Sound loud = makeSound(2, 8000, 1.0, 1.0);
    for (float &v : loud.samples) v *= 1e24f;
    ASSERT_TRUE(writeSound(dir / "loud.wav", loud, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    Result r = runTool({"decompose", "loud.wav", "-k", "2", "--format", "float", "-q"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(
        r.err.find("'loud.wav' is too loud for single precision: factorising it again in double"),
        std::string::npos)
        << r.err;
    EXPECT_EQ(readJson(dir / "loud/components.json")["settings"]["precision"], "double");
    EXPECT_LT(relativeError(sumOfSounds(componentPaths(dir / "loud", "loud", {1, 2})), loud), 1e-6);
}
