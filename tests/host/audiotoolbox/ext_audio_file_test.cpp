#include <AudioToolbox/AudioToolbox.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "scratch.hpp"
#include "sound_files.hpp"
#include "url.hpp"

using namespace kvtest;

namespace {

AudioBufferList oneBuffer(void *data, UInt32 bytes, UInt32 channels) {
    AudioBufferList l{};
    l.mNumberBuffers = 1;
    l.mBuffers[0] = {channels, bytes, data};
    return l;
}

ExtAudioFileRef openExt(const std::string &path) {
    ExtAudioFileRef f = nullptr;
    Url url(path);
    EXPECT_EQ(ExtAudioFileOpenURL(url, &f), 0) << path;
    return f;
}

AudioStreamBasicDescription dataFormat(ExtAudioFileRef f) {
    AudioStreamBasicDescription d{};
    UInt32 size = 0;
    EXPECT_EQ(ExtAudioFileGetPropertyInfo(f, kExtAudioFileProperty_FileDataFormat, &size, nullptr),
              0);
    EXPECT_EQ(size, sizeof d);
    EXPECT_EQ(ExtAudioFileGetProperty(f, kExtAudioFileProperty_FileDataFormat, &size, &d), 0);
    return d;
}

SInt64 lengthFrames(ExtAudioFileRef f) {
    SInt64 n = -1;
    UInt32 size = sizeof n;
    EXPECT_EQ(ExtAudioFileGetProperty(f, kExtAudioFileProperty_FileLengthFrames, &size, &n), 0);
    return n;
}

std::vector<short> ramp(size_t n, int step) {
    std::vector<short> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<short>(static_cast<int>(i) * step % 65536 - 32768);
    return v;
}

}  // namespace

TEST(ExtAudioFile, DescribesAndReadsSixteenBitFilesNatively) {
    Scratch dir;
    std::vector<short> stereo = ramp(2 * 500, 131);
    for (int major : {SF_FORMAT_WAV, SF_FORMAT_WAVEX, SF_FORMAT_AIFF}) {
        std::string path = dir.path("s" + std::to_string(major));
        ASSERT_TRUE(writeSound(path, major | SF_FORMAT_PCM_16, 2, 22050, stereo));
        ExtAudioFileRef f = openExt(path);
        ASSERT_NE(f, nullptr);
        AudioStreamBasicDescription d = dataFormat(f);
        EXPECT_EQ(d.mFormatID, kAudioFormatLinearPCM);
        EXPECT_EQ(d.mSampleRate, 22050.0);
        EXPECT_EQ(d.mChannelsPerFrame, 2u);
        EXPECT_EQ(d.mBitsPerChannel, 16u);
        EXPECT_EQ(d.mBytesPerFrame, 4u);
        EXPECT_EQ(d.mFramesPerPacket, 1u);
        EXPECT_TRUE(d.mFormatFlags & kAudioFormatFlagIsSignedInteger);
        EXPECT_FALSE(d.mFormatFlags & kAudioFormatFlagIsFloat);
        EXPECT_EQ(lengthFrames(f), 500);

        // Big-endian AIFF data arrives as native values, like WAV data.
        std::vector<short> got(stereo.size());
        AudioBufferList l = oneBuffer(got.data(), static_cast<UInt32>(got.size() * 2), 2);
        UInt32 frames = 500;
        EXPECT_EQ(ExtAudioFileRead(f, &frames, &l), 0);
        EXPECT_EQ(frames, 500u);
        EXPECT_EQ(got, stereo);
        frames = 10;
        EXPECT_EQ(ExtAudioFileRead(f, &frames, &l), 0);
        EXPECT_EQ(frames, 0u) << "nothing is left after the end";
        EXPECT_EQ(ExtAudioFileDispose(f), 0);
    }
}

TEST(ExtAudioFile, ReadsInPiecesNeverPastTheBuffer) {
    Scratch dir;
    std::vector<short> mono = ramp(10, 977);
    ASSERT_TRUE(writeSound(dir.path("m.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, mono));
    ExtAudioFileRef f = openExt(dir.path("m.wav"));
    ASSERT_NE(f, nullptr);
    std::vector<short> got(8, 0x5a5a);
    AudioBufferList l = oneBuffer(got.data(), 3 * 2, 1);
    UInt32 frames = 10;
    EXPECT_EQ(ExtAudioFileRead(f, &frames, &l), 0);
    EXPECT_EQ(frames, 3u);
    EXPECT_EQ(got[3], 0x5a5a) << "written past the buffer";
    l = oneBuffer(got.data() + 3, 5 * 2, 1);
    frames = 5;
    EXPECT_EQ(ExtAudioFileRead(f, &frames, &l), 0);
    EXPECT_EQ(frames, 5u);
    EXPECT_EQ(std::vector<short>(got.begin(), got.end()),
              std::vector<short>(mono.begin(), mono.begin() + 8));
    EXPECT_EQ(ExtAudioFileDispose(f), 0);
}

TEST(ExtAudioFile, GivesOtherLinearFormatsInTheirOwnLayout) {
    Scratch dir;
    // 24-bit: libsndfile's ints are left-justified, the file's samples are 3 bytes.
    std::vector<int> i24 = {0x7fffff00,  INT32_MIN,  0x00000100,
                            -0x00000100, 0x12345600, -0x65432100};
    ASSERT_TRUE(writeSound(dir.path("p24.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 48000, i24));
    ExtAudioFileRef f = openExt(dir.path("p24.wav"));
    ASSERT_NE(f, nullptr);
    AudioStreamBasicDescription d = dataFormat(f);
    EXPECT_EQ(d.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(d.mBitsPerChannel, 24u);
    EXPECT_EQ(d.mBytesPerFrame, 6u);
    unsigned char raw[18];
    AudioBufferList l = oneBuffer(raw, sizeof raw, 2);
    UInt32 frames = 3;
    ASSERT_EQ(ExtAudioFileRead(f, &frames, &l), 0);
    ASSERT_EQ(frames, 3u);
    for (int i = 0; i < 6; i++) {
        int32_t v =
            static_cast<int32_t>((uint32_t)raw[3 * i] << 8 | (uint32_t)raw[3 * i + 1] << 16 |
                                 (uint32_t)raw[3 * i + 2] << 24);
        EXPECT_EQ(v, i24[i]) << i;
    }
    EXPECT_EQ(ExtAudioFileDispose(f), 0);

    std::vector<float> fl = {0.25f, -0.5f, 0.125f};
    ASSERT_TRUE(writeSound(dir.path("f.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 44100, fl));
    f = openExt(dir.path("f.wav"));
    ASSERT_NE(f, nullptr);
    d = dataFormat(f);
    EXPECT_EQ(d.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(d.mBitsPerChannel, 32u);
    EXPECT_TRUE(d.mFormatFlags & kAudioFormatFlagIsFloat);
    float got[3];
    l = oneBuffer(got, sizeof got, 1);
    frames = 3;
    ASSERT_EQ(ExtAudioFileRead(f, &frames, &l), 0);
    EXPECT_EQ(std::vector<float>(got, got + 3), fl);
    EXPECT_EQ(ExtAudioFileDispose(f), 0);
}

TEST(ExtAudioFile, CreatesAndWritesFilesOfTheGivenFormat) {
    Scratch dir;
    std::string path = dir.path("w.wav");
    std::vector<short> stereo = ramp(2 * 300, 4099);
    AudioStreamBasicDescription fmt = pcm16(32000, 2);
    ExtAudioFileRef f = nullptr;
    {
        Url url(path);
        ASSERT_EQ(ExtAudioFileCreateWithURL(url, kAudioFileWAVEType, &fmt, nullptr,
                                            kAudioFileFlags_EraseFile, &f),
                  0);
    }
    AudioBufferList l = oneBuffer(stereo.data(), static_cast<UInt32>(stereo.size() * 2), 2);
    EXPECT_EQ(ExtAudioFileWrite(f, 200, &l), 0);
    l = oneBuffer(stereo.data() + 400, 200 * 2, 2);
    EXPECT_EQ(ExtAudioFileWrite(f, 100, &l), 0);
    UInt32 frames = 1;
    EXPECT_NE(ExtAudioFileRead(f, &frames, &l), 0) << "a new file is for writing";
    EXPECT_EQ(ExtAudioFileDispose(f), 0);

    SoundContents c = readShorts(path);
    EXPECT_EQ(c.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(c.info.samplerate, 32000);
    EXPECT_EQ(c.info.channels, 2);
    EXPECT_EQ(c.samples, stereo);

    // The erase flag replaces a file; without it an existing file is kept.
    {
        Url url(path);
        AudioStreamBasicDescription mono = pcm16(8000, 1);
        EXPECT_NE(ExtAudioFileCreateWithURL(url, kAudioFileWAVEType, &mono, nullptr, 0, &f), 0);
        EXPECT_EQ(readShorts(path).samples, stereo);
        ASSERT_EQ(ExtAudioFileCreateWithURL(url, kAudioFileWAVEType, &mono, nullptr,
                                            kAudioFileFlags_EraseFile, &f),
                  0);
        EXPECT_EQ(ExtAudioFileDispose(f), 0);
        SoundContents e = readShorts(path);
        EXPECT_EQ(e.info.frames, 0);
        EXPECT_EQ(e.info.channels, 1);
    }
}

TEST(ExtAudioFile, RefusedSettingsLeaveAnExistingFileAlone) {
    Scratch dir;
    std::string path = dir.path("keep.wav");
    ASSERT_TRUE(writeSound(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, ramp(50, 3)));
    std::vector<unsigned char> before = readBytes(path);

    AudioStreamBasicDescription good = pcm16(8000, 1);
    AudioStreamBasicDescription notPcm = good, badBytes = good, noChannels = good, badRate = good,
                                badBits = good;
    notPcm.mFormatID = kAudioFormatULaw;
    badBytes.mBytesPerFrame = 4;
    noChannels.mChannelsPerFrame = 0;
    noChannels.mBytesPerFrame = 0;
    badRate.mSampleRate = 0.0;
    badBits.mBitsPerChannel = 12;
    Url url(path);
    ExtAudioFileRef f = nullptr;
    for (auto *fmt : {&notPcm, &badBytes, &noChannels, &badRate, &badBits})
        EXPECT_NE(ExtAudioFileCreateWithURL(url, kAudioFileWAVEType, fmt, nullptr,
                                            kAudioFileFlags_EraseFile, &f),
                  0);
    EXPECT_NE(ExtAudioFileCreateWithURL(url, kAudioFileFLACType, &good, nullptr,
                                        kAudioFileFlags_EraseFile, &f),
              0);
    EXPECT_EQ(readBytes(path), before);
}
