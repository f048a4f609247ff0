// SoundStream: a file read block by block, pass after pass, gives the
// samples the whole-file reader gives; a file changed between passes is
// refused; a header's claim sizes nothing.
#include "files/sound_reader.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

using namespace kvtest;

namespace {

// Reads frames [start, start + count) of the first two channels.
std::vector<std::vector<double>> readRange(korvane::SoundStream &s, long start, long count,
                                           bool &ok) {
    std::vector<std::vector<double>> ch(2, std::vector<double>(static_cast<size_t>(count)));
    double *p[2] = {ch[0].data(), ch[1].data()};
    ok = s.read(start, count, std::min(s.channels, 2), p);
    return ch;
}

// Channel c of frames [start, start + count) of what readSoundFile gives.
std::vector<double> wholeRange(const korvane::SoundData &d, int c, long start, long count) {
    std::vector<double> x;
    for (long i = start; i < start + count; ++i)
        x.push_back(d.samples[static_cast<size_t>(i * d.channels + c)]);
    return x;
}

}  // namespace

TEST(SoundStream, PassesInBlocksGiveTheWholeFileReadersSamples) {
    Scratch dir;
    struct Case {
        int channels, format;
    } cases[] = {{1, SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                 {2, SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
                 {3, SF_FORMAT_WAV | SF_FORMAT_FLOAT}};
    for (const Case &c : cases) {
        Sound in = makeSound(c.channels, 8000, 5.0, 0.7);
        const std::string path = dir / ("in" + std::to_string(c.channels));
        ASSERT_TRUE(writeSound(path, in, c.format));
        korvane::SoundData whole;
        std::string err;
        ASSERT_TRUE(korvane::readSound(path, whole, err)) << err;
        korvane::SoundStream s;
        ASSERT_TRUE(s.open(path, err)) << err;
        EXPECT_EQ(s.frames, whole.frames);
        EXPECT_EQ(s.channels, c.channels);
        EXPECT_EQ(s.sampleRate, 8000);
        // two passes in uneven blocks, across the reader's own chunks
        for (int pass = 0; pass < 2; ++pass)
            for (long start = 0, n = 1; start < s.frames; start += n, n = n * 3 + 7) {
                n = std::min(n, s.frames - start);
                bool ok = false;
                auto got = readRange(s, start, n, ok);
                ASSERT_TRUE(ok) << s.error();
                for (int ch = 0; ch < std::min(c.channels, 2); ++ch)
                    ASSERT_EQ(got[static_cast<size_t>(ch)], wholeRange(whole, ch, start, n))
                        << "channels " << c.channels << " pass " << pass << " at " << start;
            }
        bool ok = true;
        readRange(s, s.frames - 10, 11, ok);
        EXPECT_FALSE(ok) << "past the end";
    }
}

TEST(SoundStream, AFileChangedBetweenPassesIsRefused) {
    Scratch dir;
    const std::string path = dir / "in.wav";
    Sound in = makeSound(2, 8000, 2.0, 0.5);
    ASSERT_TRUE(writeSound(path, in, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    korvane::SoundStream s;
    std::string err;
    ASSERT_TRUE(s.open(path, err)) << err;
    bool ok = false;
    readRange(s, 0, s.frames, ok);
    ASSERT_TRUE(ok) << s.error();
    // the same size, other samples, written in place
    for (float &v : in.samples) v = -v;
    ASSERT_TRUE(writeSound(path, in, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    struct timespec later[2] = {{0, UTIME_OMIT}, {0, 0}};
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    later[1].tv_sec = st.st_mtim.tv_sec + 5;  // a change of time the clock's grain cannot hide
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
    readRange(s, 0, 100, ok);
    EXPECT_FALSE(ok);
    EXPECT_NE(s.error().find("'" + path + "' changed while it was being read"), std::string::npos)
        << s.error();

    // cut short: a pass that runs into the missing end stops there
    korvane::SoundStream t;
    ASSERT_TRUE(t.open(path, err)) << err;
    ASSERT_EQ(truncate(path.c_str(), 44 + 4 * 1000), 0);
    readRange(t, 0, t.frames, ok);
    EXPECT_FALSE(ok);
    EXPECT_NE(t.error().find("changed while it was being read"), std::string::npos) << t.error();
}

// The 42-byte FLAC header claiming 2^36 - 1 frames and holding none.
TEST(SoundStream, AHeadersClaimSizesNothing) {
    Scratch dir;
    const std::string
        path = dir / "claim.flac",
        hex =
            "664c6143800000221000100000000000000001f400ffffffffff00000000000000000000000000000000";
    {
        std::ofstream f(path, std::ios::binary);
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            f.put(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    EXPECT_LT(korvane::claimedSoundBytes(path), 64e6)
        << "the claim is cut at what 42 bytes can decode to";
    korvane::SoundStream s;
    std::string err;
    EXPECT_FALSE(s.open(path, err));
    EXPECT_EQ(err, "'" + path + "' holds no sound");
}
