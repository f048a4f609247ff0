// A file URL that releases itself.
#pragma once

#include <AudioToolbox/AudioToolbox.h>

#include <string>

namespace kvtest {

class Url {
public:
    explicit Url(const std::string &path) {
        CFStringRef s =
            CFStringCreateWithCString(kCFAllocatorDefault, path.c_str(), kCFStringEncodingUTF8);
        ref_ = CFURLCreateWithFileSystemPath(kCFAllocatorDefault, s, kCFURLPOSIXPathStyle, false);
        CFRelease(s);
    }
    ~Url() { CFRelease(ref_); }
    Url(const Url &) = delete;
    Url &operator=(const Url &) = delete;
    operator CFURLRef() const { return ref_; }

private:
    CFURLRef ref_;
};

// A 16-bit packed linear-PCM description.
inline AudioStreamBasicDescription pcm16(double rate, UInt32 channels) {
    AudioStreamBasicDescription f{};
    f.mSampleRate = rate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    f.mBytesPerPacket = 2 * channels;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = 2 * channels;
    f.mChannelsPerFrame = channels;
    f.mBitsPerChannel = 16;
    return f;
}

}  // namespace kvtest
