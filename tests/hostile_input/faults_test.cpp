// Inputs that once crashed, hung or misled korvane, each replayed against
// the piece that failed.
#include "cli/component_list.hpp"
#include "maxhost.hpp"
#include "files/memory_policy.hpp"
#include "files/outputs.hpp"
#include "files/staged_set.hpp"
#include "files/sound_reader.hpp"
#include "run/patch_script.hpp"
#include "qm_audio.h"
#include "run/sound_files.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <type_traits>

using namespace kvtest;

namespace {

void writeBytes(const std::string &path, const std::string &hex) {
    std::ofstream f(path, std::ios::binary);
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        f.put(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
}

// A 42-byte FLAC stream header claiming `total` frames (36 bits) of 8 kHz
// mono with no frame after it.
std::string flacClaiming(const char *total36) {
    return std::string("664c6143800000221000100000000000000001f400f") + total36 +
           "00000000000000000000000000000000";
}

bool noPartFiles(const std::string &dir) {
    for (const std::string &n : listDir(dir))
        if (n.find(".part") != std::string::npos) return false;
    return true;
}

// Runs f in a child process; false when it had not finished after seconds.
template <typename F>
bool finishesWithin(int seconds, F f, int &exitCode) {
    pid_t pid = fork();
    if (pid == 0) _exit(f());
    for (int i = 0; i < seconds * 20; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

// Files this process and its children write are cut at `bytes` while it
// lives; writes past it fail with EFBIG, as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, SIG_IGN);
        rlimit r = saved_;
        r.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &r);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

private:
    rlimit saved_{};
};

class HostileInput : public ::testing::Test {
protected:
    void SetUp() override { maxhost::reset(); }
    void TearDown() override { maxhost::reset(); }
    Scratch dir;
};

}  // namespace

// Fault 1: a header's frame count sized the buffer (2^36 - 1 frames threw
// std::bad_alloc; 2^30 grew to 4 GB).
TEST_F(HostileInput, Fault1_FlacHeaderClaimingBillionsOfFramesIsNotBelieved) {
    for (const char *total : {"fffffffff", "040000000"}) {
        std::string path = dir / "claim.flac";
        writeBytes(path, flacClaiming(total));
        korvane::SoundData sound;
        std::string err;
        EXPECT_FALSE(korvane::readSound(path, sound, err)) << total;
        EXPECT_NE(err.find("claim.flac"), std::string::npos) << err;
        // and `run`'s buffer statement refuses it as holding no sound
        err.clear();
        EXPECT_FALSE(korvane::readSoundIntoBuffer("b", path, err));
        EXPECT_NE(err.find("claim.flac: no audio in it"), std::string::npos) << err;
        double *l = nullptr, *r = nullptr;
        int n = 0;
        AudioStreamBasicDescription fmt;
        EXPECT_NE(qm_wavreadOSX(path.c_str(), &l, &r, &n, &fmt), 0);
        std::free(l);
        std::free(r);
    }
}

TEST_F(HostileInput, Fault1_WhatTheMachineCannotHoldIsRefusedNamingFileAndSize) {
    Sound s = makeSound(2, 8000, 1.0, 0.5);
    const korvane::MemoryCap saved = korvane::memoryCap();
    for (int format : {SF_FORMAT_WAV | SF_FORMAT_PCM_16, SF_FORMAT_FLAC | SF_FORMAT_PCM_16}) {
        std::string path = dir / ((format & SF_FORMAT_FLAC) ? "big.flac" : "big.wav");
        ASSERT_TRUE(writeSound(path, s, format));
        korvane::setMemoryCap(16 * 1024, "test");  // 4096 samples, half a second of stereo
        korvane::SoundData sound;
        std::string err;
        // 16 KB: 4096 samples, half a second of stereo
        EXPECT_FALSE(korvane::readSound(path, sound, err, 16 * 1024));
        EXPECT_NE(err.find(path), std::string::npos) << err;
        EXPECT_NE(err.find("frames of 2 channels"), std::string::npos) << err;
        EXPECT_NE(err.find("16.0 KB this machine can hold"), std::string::npos) << err;
        korvane::setMemoryCap(64 * 1024, "test");
        ASSERT_TRUE(korvane::readSound(path, sound, err)) << err;
        EXPECT_EQ(sound.frames, 8000);
        EXPECT_EQ(sound.samples.size(), 16000u);
        maxhost::setMemoryLimit(16 * 1024);  // `run`'s buffers keep to the host's limit
        EXPECT_FALSE(korvane::readSoundIntoBuffer("b", path, err));
        EXPECT_NE(err.find("16.0 KB this machine can hold"), std::string::npos) << err;
        maxhost::setMemoryLimit(64 * 1024);
        EXPECT_TRUE(korvane::readSoundIntoBuffer("b", path, err)) << err;
    }
    korvane::setMemoryCap(saved.bytes, saved.from);
}

TEST_F(HostileInput, Fault1_Pcm16ClaimBeyondTheFileIsCutToItsSize) {
    // a WAV whose data chunk claims 2^31 bytes but holds 400 frames
    Sound s = makeSound(1, 8000, 0.05, 0.5);
    std::string path = dir / "short.wav";
    ASSERT_TRUE(writeSound(path, s, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(40);
    const char claim[4] = {0, 0, 0, (char)0x80};
    f.write(claim, 4);
    f.close();
    double *l = nullptr, *r = nullptr;
    int n = 0;
    AudioStreamBasicDescription fmt;
    ASSERT_EQ(qm_wavreadOSX(path.c_str(), &l, &r, &n, &fmt), 0);
    EXPECT_EQ(n, 400);
    std::free(l);
    std::free(r);
}

// Found by fuzzing: libsndfile's GSM decoder went on for ever past the end
// of a 533-byte W64 file claiming 486 billion frames, and the reader grew to
// the memory limit. Compressed data now decodes to at most 16 samples a byte.
TEST_F(HostileInput, CompressedDataDecodesToNoMoreThanItsBytesCanHold) {
    std::string path = std::string(KV_SOURCE_DIR) +
                       "/fuzz/regressions/sound_readers/w64-gsm-decodes-past-its-data-1";
    korvane::SoundData sound;
    std::string err;
    korvane::readSound(path, sound, err);
    EXPECT_LE(sound.samples.size(), 533u * 16);
}

// Fault 2: one patch line asked for 2^40 samples and aborted the host.
TEST_F(HostileInput, Fault2_HugeBufferIsRefusedNotThrown) {
    {
        std::ostringstream errors;
        korvane::ScriptRun run("huge", errors);
        std::string err;
        EXPECT_FALSE(run.statement({"buffer", "b", "1", "1000000000000"}, err));
        EXPECT_EQ(err, "buffer: cannot make a buffer of that size");
    }
    EXPECT_EQ(maxhost::createBuffer("b", 4, 1L << 40), nullptr);
    ASSERT_NE(maxhost::createBuffer("b", 1, 10), nullptr);
    t_buffer_ref *ref = buffer_ref_new(nullptr, gensym("b"));
    t_buffer_obj *b = buffer_ref_getobject(ref);
    EXPECT_EQ(buffer_resize(b, 2, 1L << 45), MAX_ERR_GENERIC);
    EXPECT_EQ(buffer_getframecount(b), 10);  // unchanged
    object_free(ref);
}

// Fault 4: sscanf("%d") wrapped 4294967297 to 1.
TEST(ComponentList, Fault4_NumbersBeyondIntAreOutOfRange) {
    std::vector<int> got;
    std::string err;
    EXPECT_FALSE(korvane::parseComponentList("4294967297", 4, got, err));
    EXPECT_EQ(err, "component 4294967297 is out of range 1..4");
    EXPECT_FALSE(korvane::parseComponentList("1-4294967298", 4, got, err));
    EXPECT_EQ(err, "component 4294967298 is out of range 1..4");
    EXPECT_FALSE(korvane::parseComponentList("99999999999999999999999", 64, got, err));
}

TEST(ComponentList, ListsAndRangesAsWritten) {
    std::vector<int> got;
    std::string err;
    ASSERT_TRUE(korvane::parseComponentList("3-4,1", 4, got, err));
    EXPECT_EQ(got, (std::vector<int>{1, 3, 4}));
    ASSERT_TRUE(korvane::parseComponentList("2-4, 2 ", 4, got, err));
    EXPECT_EQ(got, (std::vector<int>{2, 3, 4}));
    EXPECT_FALSE(korvane::parseComponentList("4-2", 4, got, err));  // a range runs upwards
    for (const char *bad : {"", "1,", ",1", "a", "1-", "-1", "1-2-3", "1..3", "+1", "0x1"}) {
        EXPECT_FALSE(korvane::parseComponentList(bad, 4, got, err)) << bad;
        EXPECT_FALSE(err.empty());
    }
    EXPECT_FALSE(korvane::parseComponentList("0", 4, got, err));
    EXPECT_EQ(err, "component 0 is out of range 1..4");
}

// Fault 5: a probe fopen took a named pipe's writer, then the reader waited
// for ever. Pipes and devices are now refused at once.
TEST_F(HostileInput, Fault5_NamedPipeIsRefusedAtOnce) {
    std::string fifo = dir / "pipe.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int code = -1;
    ASSERT_TRUE(finishesWithin(
        20,
        [&] {
            korvane::SoundData sound;
            std::string err1, err2;
            bool refused = !korvane::readSound(fifo, sound, err1) &&
                           !korvane::readSoundIntoBuffer("b", fifo, err2);
            bool named = err1 == "cannot read '" + fifo +
                                     "': it is not a regular file (a pipe or a device)" &&
                         err2.find(fifo) != std::string::npos;
            return refused && named ? 0 : 1;
        },
        code));
    EXPECT_EQ(code, 0);
    Result r;
    ASSERT_TRUE(finishesWithin(
        60,
        [&] {
            return runTool({"decompose", "pipe.wav", "-q"}, dir.path()).exitCode;
        },
        code));
    EXPECT_EQ(code, 1);
}

// Fault 7: class_new took its first kind as a short, and va_start after a
// parameter of a promoted type is undefined. (The other half, chainAdd64
// called through a nine-parameter type, shows under clang's
// -fsanitize=function in the fuzz build: `dsp on` in the patch seeds.)
TEST(HostileInputTypes, Fault7_ClassNewFirstKindIsAnInt) {
    using ClassNew = t_class *(*)(const char *, method, method, long, method, int, ...);
    EXPECT_TRUE((std::is_same_v<decltype(&class_new), ClassNew>));
}

// Fault 8: a failed write named the hidden temporary, not the file asked for.
TEST_F(HostileInput, Fault8_WriteErrorsNameTheFileTheUserAskedFor) {
    Sound s = makeSound(2, 22050, 1.5, 0.5);
    ASSERT_TRUE(writeSound(dir / "in.wav", s, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    Result r;
    {
        FileSizeLimit limit(48 * 1024);  // a component file is 130 KB
        r = runTool({"decompose", "in.wav", "-k", "2", "-o", "parts", "-q"}, dir.path());
    }
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot write 'parts/in-c01.wav'"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(".part"), std::string::npos) << r.err;
    EXPECT_TRUE(noPartFiles(dir / "parts"));
    EXPECT_EQ(korvane::StagedSet::shownPath("d/.korvane-stage-1-abcdef/x.wav"), "d/x.wav");
    EXPECT_EQ(korvane::StagedSet::shownPath("d/.part-1"), "d/.part-1");
}
