/* Writing one or two channels of doubles to 16-bit linear-PCM WAV files. */
#include "qm_audio.h"
#include "sound_file.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

/* Where the next segment goes; shared by every caller of the segment writer. */
static SInt64 currFramePosition = 0;

/* Refusals made before any file is created or opened. */
static int checkArguments(const double *left, const double *right, int numFrames,
                          const AudioStreamBasicDescription *format)
{
    UInt32 nc = format->mChannelsPerFrame;
    if (format->mBitsPerChannel != 16) {
        printf("Unsupported bit number.\n");
        return -1;
    }
    if (nc < 1) {
        printf("Couldn't create sound file.\n");
        return -1;
    }
    if (numFrames < 0 || (UInt64)numFrames * nc * 2 > UINT32_MAX
        || (numFrames > 0 && (!left || (nc > 1 && !right)))) {
        printf("Couldn't write to sound file.\n");
        return -1;
    }
    return 0;
}

/* Both channels by one factor once the louder one reaches 1.0, leaving its
 * peak at QM_CLIP_GAIN. */
static void normalise(double *left, double *right, int numFrames, UInt32 nc)
{
    double peakL = 0.0, peakR = 0.0, peak, factor = QM_CLIP_GAIN;
    if (numFrames <= 0)
        return;
    vDSP_maxmgvD(left, 1, &peakL, (vDSP_Length)numFrames);
    if (nc > 1)
        vDSP_maxmgvD(right, 1, &peakR, (vDSP_Length)numFrames);
    peak = peakL > peakR ? peakL : peakR;
    if (!(peak >= 1.0))
        return;
    vDSP_vsdivD(left, 1, &peak, left, 1, (vDSP_Length)numFrames);
    vDSP_vsmulD(left, 1, &factor, left, 1, (vDSP_Length)numFrames);
    if (nc > 1) {
        vDSP_vsdivD(right, 1, &peak, right, 1, (vDSP_Length)numFrames);
        vDSP_vsmulD(right, 1, &factor, right, 1, (vDSP_Length)numFrames);
    }
}

/* v x 32768 truncated toward zero; NaN is silence, the rest is clamped. */
static int16_t toSample(double v)
{
    double x = v * 32768.0;
    if (x != x)
        return 0;
    if (x >= 32767.0)
        return 32767;
    if (x <= -32768.0)
        return -32768;
    return (int16_t)x;
}

/* buf was zeroed, so channels after the second stay silent. */
static void interleave(const double *left, const double *right, int numFrames, UInt32 nc,
                       int16_t *buf)
{
    for (int i = 0; i < numFrames; i++) {
        buf[(size_t)i * nc] = toSample(left[i]);
        if (nc > 1)
            buf[(size_t)i * nc + 1] = toSample(right[i]);
    }
}

static int16_t *newBuffer(int numFrames, UInt32 nc)
{
    size_t n = (size_t)numFrames * nc;
    int16_t *buf = calloc(n ? n : 1, sizeof *buf);
    if (!buf)
        printf("Couldn't write to sound file.\n");
    return buf;
}

int qm_wavwriteOSX(const char *path, double *left, double *right, int numFrames,
                   AudioStreamBasicDescription format)
{
    UInt32 nc = format.mChannelsPerFrame;
    ExtAudioFileRef file = NULL;
    AudioBufferList list;
    CFURLRef url;
    OSStatus err = -1;
    int16_t *buf;

    if (checkArguments(left, right, numFrames, &format) != 0)
        return -1;
    if (!(buf = newBuffer(numFrames, nc)))
        return -1;
    url = qm_fileURL(path);
    if (url) {
        err = ExtAudioFileCreateWithURL(url, kAudioFileWAVEType, &format, NULL,
                                        kAudioFileFlags_EraseFile, &file);
        CFRelease(url);
    }
    if (err != 0) {
        free(buf);
        printf("Couldn't create sound file.\n");
        return -1;
    }

    normalise(left, right, numFrames, nc);
    interleave(left, right, numFrames, nc, buf);
    list.mNumberBuffers = 1;
    list.mBuffers[0].mNumberChannels = nc;
    list.mBuffers[0].mDataByteSize = (UInt32)numFrames * nc * 2;
    list.mBuffers[0].mData = buf;
    if (ExtAudioFileWrite(file, (UInt32)numFrames, &list) != 0) {
        ExtAudioFileDispose(file);
        free(buf);
        printf("Couldn't write to sound file.\n");
        return -1;
    }
    err = ExtAudioFileDispose(file);
    free(buf);
    if (err != 0) {
        printf("Couldn't close sound file.\n");
        return -1;
    }
    return 0;
}

/* 1 when an existing file holds frames laid out as format says. */
static int sameLayout(AudioFileID file, const AudioStreamBasicDescription *format)
{
    AudioStreamBasicDescription have;
    UInt32 size = 0;
    if (AudioFileGetPropertyInfo(file, kAudioFilePropertyDataFormat, &size, NULL) != 0
        || size != sizeof have
        || AudioFileGetProperty(file, kAudioFilePropertyDataFormat, &size, &have) != 0)
        return 0;
    return have.mFormatID == format->mFormatID
           && (have.mFormatFlags & kAudioFormatFlagIsFloat)
                  == (format->mFormatFlags & kAudioFormatFlagIsFloat)
           && have.mBitsPerChannel == format->mBitsPerChannel
           && have.mChannelsPerFrame == format->mChannelsPerFrame
           && have.mBytesPerFrame == format->mBytesPerFrame;
}

int qm_wavwriteOSX_Seek(const char *path, double *left, double *right, int numFrames,
                        AudioStreamBasicDescription format, float segDur, int first)
{
    UInt32 nc = format.mChannelsPerFrame, packets;
    AudioFileID file = NULL;
    CFURLRef url;
    OSStatus err = -1;
    SInt64 start, count;
    UInt64 bytes;
    int16_t *buf;

    if (first == 1)
        currFramePosition = 0;
    if (checkArguments(left, right, numFrames, &format) != 0)
        return -1;
    if (!(buf = newBuffer(numFrames, nc)))
        return -1;
    url = qm_fileURL(path);
    if (url) {
        if (first == 1)
            err = AudioFileCreateWithURL(url, kAudioFileWAVEType, &format,
                                         kAudioFileFlags_EraseFile, &file);
        else
            err = AudioFileOpenURL(url, kAudioFileReadWritePermission, 0, &file);
        CFRelease(url);
    }
    if (err != 0) {
        free(buf);
        printf(first == 1 ? "Couldn't create sound file.\n" : "Couldn't read sound file.\n");
        return -1;
    }
    if (first != 1 && !sameLayout(file, &format)) {
        AudioFileClose(file);
        free(buf);
        printf("Couldn't write to sound file.\n");
        return -1;
    }

    normalise(left, right, numFrames, nc);
    interleave(left, right, numFrames, nc, buf);
    if (segDur > 0.0f) {
        SInt64 s = qm_segmentFrames(segDur, format.mSampleRate);
        start = currFramePosition;
        count = numFrames < s ? numFrames : s;
    } else {
        start = 0;
        count = numFrames;
    }
    bytes = (UInt64)format.mBytesPerFrame * (UInt64)numFrames;
    packets = (UInt32)count;
    if (packets > 0
        && AudioFileWritePackets(file, 0, bytes > UINT32_MAX ? UINT32_MAX : (UInt32)bytes, NULL,
                                 start, &packets, buf)
               != 0) {
        AudioFileClose(file);
        free(buf);
        printf("Couldn't write to sound file.\n");
        return -1;
    }
    currFramePosition += packets;

    err = AudioFileClose(file);
    free(buf);
    if (err != 0) {
        printf("Couldn't close sound file.\n");
        return -1;
    }
    return 0;
}
