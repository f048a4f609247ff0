#include <AudioToolbox/AudioToolbox.h>
#include <gtest/gtest.h>

#include <vector>

#include "scratch.hpp"
#include "sound_files.hpp"
#include "url.hpp"

using namespace kvtest;

namespace {

AudioFileID openFile(const std::string &path, AudioFilePermissions perm) {
    AudioFileID f = nullptr;
    Url url(path);
    EXPECT_EQ(AudioFileOpenURL(url, perm, 0, &f), 0) << path;
    return f;
}

template <typename T>
T property(AudioFileID f, AudioFilePropertyID id) {
    T v{};
    UInt32 size = 0;
    EXPECT_EQ(AudioFileGetPropertyInfo(f, id, &size, nullptr), 0);
    EXPECT_EQ(size, sizeof v);
    EXPECT_EQ(AudioFileGetProperty(f, id, &size, &v), 0);
    return v;
}

std::vector<short> counting(size_t n, short from) {
    std::vector<short> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<short>(from + static_cast<short>(i));
    return v;
}

}  // namespace

TEST(AudioFile, ReportsFormatLengthAndType) {
    Scratch dir;
    struct {
        const char *name;
        int format;
        AudioFileTypeID type;
    } cases[] = {
        {"a.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, kAudioFileWAVEType},
        {"b.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, kAudioFileWAVEType},
        {"c.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, kAudioFileAIFFType},
        {"d.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, kAudioFileFLACType},
    };
    for (auto &c : cases) {
        ASSERT_TRUE(writeSound(dir.path(c.name), c.format, 2, 11025, counting(2 * 37, -5)));
        AudioFileID f = openFile(dir.path(c.name), kAudioFileReadPermission);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(property<AudioFileTypeID>(f, kAudioFilePropertyFileFormat), c.type) << c.name;
        EXPECT_EQ(property<UInt64>(f, kAudioFilePropertyAudioDataPacketCount), 37u) << c.name;
        auto d = property<AudioStreamBasicDescription>(f, kAudioFilePropertyDataFormat);
        EXPECT_EQ(d.mSampleRate, 11025.0);
        EXPECT_EQ(d.mChannelsPerFrame, 2u);
        bool flac = c.type == kAudioFileFLACType;
        EXPECT_EQ(d.mFormatID, flac ? kAudioFormatFLAC : kAudioFormatLinearPCM) << c.name;
        EXPECT_EQ(AudioFileClose(f), 0);
    }
}

TEST(AudioFile, ReadsPacketsFromAnyStartUpToTheEnd) {
    Scratch dir;
    std::vector<short> s = counting(2 * 9, 100);
    ASSERT_TRUE(writeSound(dir.path("n.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 10, s));
    AudioFileID f = openFile(dir.path("n.wav"), kAudioFileReadPermission);
    ASSERT_NE(f, nullptr);

    std::vector<short> buf(2 * 9, 0);
    UInt32 bytes = 2 * 9 * 2, packets = 5;
    ASSERT_EQ(AudioFileReadPacketData(f, false, &bytes, nullptr, 5, &packets, buf.data()), 0);
    EXPECT_EQ(packets, 4u) << "only four frames follow frame 5";
    EXPECT_EQ(bytes, 4u * 4u);
    EXPECT_EQ(std::vector<short>(buf.begin(), buf.begin() + 8),
              std::vector<short>(s.begin() + 10, s.end()));

    // The byte capacity bounds the read as much as the packet count does.
    std::fill(buf.begin(), buf.end(), 0);
    bytes = 3 * 4;
    packets = 9;
    ASSERT_EQ(AudioFileReadPacketData(f, false, &bytes, nullptr, 0, &packets, buf.data()), 0);
    EXPECT_EQ(packets, 3u);
    EXPECT_EQ(buf[6], 0) << "written past the capacity";

    bytes = 100;
    packets = 0;
    EXPECT_EQ(AudioFileReadPacketData(f, false, &bytes, nullptr, 9, &packets, buf.data()), 0);
    EXPECT_EQ(packets, 0u);
    bytes = 100;
    packets = 0;
    EXPECT_EQ(AudioFileReadPacketData(f, false, &bytes, nullptr, 50, &packets, buf.data()), 0)
        << "asking for nothing succeeds anywhere";
    bytes = 100;
    packets = 1;
    EXPECT_EQ(AudioFileReadPacketData(f, false, &bytes, nullptr, 9, &packets, buf.data()),
              kAudioFileEndOfFileError);
    EXPECT_EQ(packets, 0u);
    EXPECT_EQ(bytes, 0u);
    packets = 1;
    EXPECT_NE(AudioFileReadPacketData(f, false, &bytes, nullptr, -1, &packets, buf.data()), 0);

    UInt32 one = 1;
    EXPECT_EQ(AudioFileWritePackets(f, false, 4, nullptr, 0, &one, buf.data()),
              kAudioFilePermissionsError);
    EXPECT_EQ(AudioFileClose(f), 0);
    EXPECT_EQ(readShorts(dir.path("n.wav")).samples, s);
}

TEST(AudioFile, OpeningForWritingNeverCreatesAFile) {
    Scratch dir;
    int before = openDescriptors();
    for (AudioFilePermissions perm :
         {kAudioFileReadPermission, kAudioFileWritePermission, kAudioFileReadWritePermission}) {
        AudioFileID f = nullptr;
        Url url(dir.path("missing.wav"));
        EXPECT_EQ(AudioFileOpenURL(url, perm, 0, &f), kAudioFileFileNotFoundError);
        EXPECT_FALSE(exists(dir.path("missing.wav")));
    }
    writeBytes(dir.path("empty.wav"), {});
    writeBytes(dir.path("cut.wav"), truncatedWavHeader());
    for (const char *name : {"empty.wav", "cut.wav"}) {
        AudioFileID f = nullptr;
        Url url(dir.path(name));
        EXPECT_NE(AudioFileOpenURL(url, kAudioFileReadWritePermission, 0, &f), 0) << name;
        EXPECT_NE(AudioFileOpenURL(url, kAudioFileReadPermission, 0, &f), 0) << name;
    }
    EXPECT_EQ(readBytes(dir.path("cut.wav")), truncatedWavHeader());
    EXPECT_EQ(openDescriptors(), before);
}

TEST(AudioFile, WritesPacketsIntoAnExistingFile) {
    Scratch dir;
    std::string path = dir.path("rw.wav");
    ASSERT_TRUE(writeSound(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 10, counting(6, 1)));
    AudioFileID f = openFile(path, kAudioFileReadWritePermission);
    ASSERT_NE(f, nullptr);

    std::vector<short> mid = {-7, -8}, tail = {40, 41, 42};
    UInt32 n = 2;
    ASSERT_EQ(AudioFileWritePackets(f, false, 4, nullptr, 2, &n, mid.data()), 0);
    EXPECT_EQ(n, 2u);
    n = 3;
    ASSERT_EQ(AudioFileWritePackets(f, false, 6, nullptr, 6, &n, tail.data()), 0);
    EXPECT_EQ(property<UInt64>(f, kAudioFilePropertyAudioDataPacketCount), 9u);
    n = 1;
    EXPECT_EQ(AudioFileWritePackets(f, false, 2, nullptr, 10, &n, tail.data()),
              kAudioFileInvalidPacketOffsetError)
        << "no holes";
    n = 3;
    EXPECT_NE(AudioFileWritePackets(f, false, 4, nullptr, 0, &n, tail.data()), 0)
        << "fewer bytes than packets";

    std::vector<short> back(9);
    UInt32 bytes = 18, packets = 9;
    ASSERT_EQ(AudioFileReadPacketData(f, false, &bytes, nullptr, 0, &packets, back.data()), 0);
    EXPECT_EQ(AudioFileClose(f), 0);

    std::vector<short> want = {1, 2, -7, -8, 5, 6, 40, 41, 42};
    EXPECT_EQ(back, want);
    SoundContents c = readShorts(path);
    EXPECT_EQ(c.info.frames, 9);
    EXPECT_EQ(c.samples, want);
}

TEST(AudioFile, CreatesOrEmptiesAFileForPackets) {
    Scratch dir;
    std::string path = dir.path("new.wav");
    ASSERT_TRUE(writeSound(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 10, counting(40, 0)));
    AudioStreamBasicDescription fmt = pcm16(10, 1);
    AudioFileID f = nullptr;
    {
        Url url(path);
        EXPECT_NE(AudioFileCreateWithURL(url, kAudioFileWAVEType, &fmt, 0, &f), 0)
            << "exists, no erase flag";
        ASSERT_EQ(
            AudioFileCreateWithURL(url, kAudioFileWAVEType, &fmt, kAudioFileFlags_EraseFile, &f),
            0);
    }
    EXPECT_EQ(property<UInt64>(f, kAudioFilePropertyAudioDataPacketCount), 0u);
    EXPECT_EQ(property<AudioFileTypeID>(f, kAudioFilePropertyFileFormat), kAudioFileWAVEType);
    std::vector<short> a = {5, 6, 7, 8}, b = {-1, -2};
    UInt32 n = 1;
    EXPECT_EQ(AudioFileWritePackets(f, false, 2, nullptr, 1, &n, a.data()),
              kAudioFileInvalidPacketOffsetError);
    n = 4;
    ASSERT_EQ(AudioFileWritePackets(f, false, 8, nullptr, 0, &n, a.data()), 0);
    n = 2;
    ASSERT_EQ(AudioFileWritePackets(f, false, 4, nullptr, 4, &n, b.data()), 0);
    EXPECT_EQ(AudioFileClose(f), 0);

    SoundContents c = readShorts(path);
    EXPECT_EQ(c.info.channels, 1);
    EXPECT_EQ(c.info.samplerate, 10);
    EXPECT_EQ(c.samples, (std::vector<short>{5, 6, 7, 8, -1, -2}));
}
