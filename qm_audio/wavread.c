/* Reading 16-bit linear-PCM sound files into one array of doubles per
 * channel; only the first two channels are kept. */
#include "qm_audio.h"
#include "sound_file.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#define QM_WHOLE_FILE_MAX_SECONDS 300

/* Where the next segment starts; shared by every caller of the segment reader. */
static SInt64 currFramePosition = 0;

/* Only packed 16-bit frames are converted. */
static int is16Bit(const AudioStreamBasicDescription *f)
{
    return f->mBitsPerChannel == 16 && f->mChannelsPerFrame >= 1
           && f->mBytesPerFrame == 2 * f->mChannelsPerFrame;
}

/* The length must fit the 32-bit frame count and the raw buffer a 32-bit
 * byte size. */
static int sizeFits(SInt64 frames, UInt32 bytesPerFrame)
{
    return frames >= 0 && frames <= INT32_MAX && (UInt64)frames * bytesPerFrame <= UINT32_MAX;
}

static unsigned secondsForMessage(double maxLength)
{
    if (!(maxLength > 0.0))
        return 0;
    if (maxLength >= (double)UINT_MAX)
        return UINT_MAX;
    return (unsigned)maxLength;
}

/* left, and right when there are two or more channels (else NULL), from
 * interleaved 16-bit frames. Returns -1 when memory ran out. */
static int splitChannels(const int16_t *raw, UInt32 nc, SInt64 frames, double **left,
                         double **right)
{
    size_t n = frames > 0 ? (size_t)frames : 1;
    double *l = malloc(n * sizeof *l);
    double *r = nc > 1 ? malloc(n * sizeof *r) : NULL;
    if (!l || (nc > 1 && !r)) {
        free(l);
        free(r);
        return -1;
    }
    for (SInt64 i = 0; i < frames; i++) {
        l[i] = raw[(size_t)i * nc] / 32768.0;
        if (r)
            r[i] = raw[(size_t)i * nc + 1] / 32768.0;
    }
    *left = l;
    *right = r;
    return 0;
}

static void dropChannels(double **left, double **right)
{
    free(*left);
    free(*right);
    *left = NULL;
    *right = NULL;
}

static int extProperty(ExtAudioFileRef file, ExtAudioFilePropertyID id, UInt32 want, void *out)
{
    UInt32 size = 0;
    if (ExtAudioFileGetPropertyInfo(file, id, &size, NULL) != 0 || size != want)
        return -1;
    return ExtAudioFileGetProperty(file, id, &size, out) != 0 ? -1 : 0;
}

static int extFail(ExtAudioFileRef file, void *raw, const char *message)
{
    free(raw);
    ExtAudioFileDispose(file);
    printf("%s", message);
    return -1;
}

int qm_wavreadOSX(const char *path, double **left, double **right, int *numFrames,
                  AudioStreamBasicDescription *format)
{
    ExtAudioFileRef file = NULL;
    CFURLRef url = qm_fileURL(path);
    OSStatus err = -1;
    SInt64 total = 0;
    UInt32 nc, frames;
    size_t bytes;
    AudioBufferList list;
    void *raw;

    if (url) {
        err = ExtAudioFileOpenURL(url, &file);
        CFRelease(url);
    }
    if (err != 0) {
        printf("Couldn't open sound file.\n");
        return -1;
    }
    if (extProperty(file, kExtAudioFileProperty_FileDataFormat, sizeof *format, format)
        || extProperty(file, kExtAudioFileProperty_FileLengthFrames, sizeof total, &total))
        return extFail(file, NULL, "Couldn't read from sound file.\n");
    if (total >= 0 && total <= INT32_MAX)
        *numFrames = (int)total;
    nc = format->mChannelsPerFrame;

    if (format->mFormatID != kAudioFormatLinearPCM)
        return extFail(file, NULL, "Error: invalid audio format. Only uncompressed PCM supported.");
    if ((double)total / format->mSampleRate > (double)QM_WHOLE_FILE_MAX_SECONDS) {
        printf("Error: maximum file length allowed is %u seconds.\n",
               (unsigned)QM_WHOLE_FILE_MAX_SECONDS);
        ExtAudioFileDispose(file);
        return -1;
    }
    if (!sizeFits(total, format->mBytesPerFrame))
        return extFail(file, NULL, "Couldn't read from sound file.\n");

    bytes = (size_t)total * format->mBytesPerFrame;
    raw = malloc(bytes ? bytes : 1);
    if (!raw)
        return extFail(file, NULL, "Couldn't read from sound file.\n");
    list.mNumberBuffers = 1;
    list.mBuffers[0].mNumberChannels = nc;
    list.mBuffers[0].mDataByteSize = (UInt32)bytes;
    list.mBuffers[0].mData = raw;
    frames = (UInt32)total;
    if (frames > 0 && ExtAudioFileRead(file, &frames, &list) != 0)
        return extFail(file, raw, "Couldn't read from sound file.\n");
    if (frames > (UInt32)total)
        frames = (UInt32)total;

    if (!is16Bit(format)) {
        *left = NULL;
        *right = NULL;
        return extFail(file, raw, "Unsupported bit number.\n");
    }
    if (splitChannels(raw, nc, frames, left, right) != 0)
        return extFail(file, raw, "Couldn't read from sound file.\n");
    free(raw);

    if (ExtAudioFileDispose(file) != 0) {
        dropChannels(left, right);
        printf("Couldn't close sound file.\n");
        return -1;
    }
    *numFrames = (int)frames;
    return 0;
}

static int fileProperty(AudioFileID file, AudioFilePropertyID id, UInt32 want, void *out)
{
    UInt32 size = 0;
    if (AudioFileGetPropertyInfo(file, id, &size, NULL) != 0 || size != want)
        return -1;
    return AudioFileGetProperty(file, id, &size, out) != 0 ? -1 : 0;
}

static int fileFail(AudioFileID file, void *raw, const char *message, int status)
{
    free(raw);
    AudioFileClose(file);
    printf("%s", message);
    return status;
}

/* Opens a WAV file of linear PCM and reads its format and length (into
 * *numFrames too when an int holds it). 0, or the status to return with
 * the file closed and the message printed. */
static int wavOpen(const char *path, AudioFileID *out, AudioStreamBasicDescription *format,
                   SInt64 *total, int *numFrames)
{
    AudioFileID file = NULL;
    OSStatus err = -1;
    UInt64 packetCount = 0;
    AudioFileTypeID type = 0;
    CFURLRef url = qm_fileURL(path);
    if (url) {
        err = AudioFileOpenURL(url, kAudioFileReadPermission, 0, &file);
        CFRelease(url);
    }
    if (err != 0) {
        printf("Couldn't open sound file.\n");
        return -1;
    }
    if (fileProperty(file, kAudioFilePropertyDataFormat, sizeof *format, format)
        || fileProperty(file, kAudioFilePropertyAudioDataPacketCount, sizeof packetCount,
                        &packetCount)
        || fileProperty(file, kAudioFilePropertyFileFormat, sizeof type, &type)
        || packetCount > (UInt64)INT64_MAX)
        return fileFail(file, NULL, "Couldn't read from sound file.\n", -1);
    *total = (SInt64)packetCount;
    if (*total <= INT32_MAX)
        *numFrames = (int)*total;
    if (format->mFormatID != kAudioFormatLinearPCM)
        return fileFail(file, NULL, "Error: invalid audio format. Only uncompressed PCM supported.",
                        -3);
    if (type != kAudioFileWAVEType)
        return fileFail(file, NULL, "Error: invalid audio format. Only WAV files supported.", -3);
    *out = file;
    return 0;
}

/* The frames to read: a segment of segDur seconds from the current
 * position, or the whole file. 1 when the segment runs past the end. */
static int wavSegment(float segDur, double rate, SInt64 total, SInt64 *start, SInt64 *count)
{
    if (segDur <= 0.0f) {
        *start = 0;
        *count = total;
        return 0;
    }
    SInt64 s = qm_segmentFrames(segDur, rate);
    *start = currFramePosition;
    if (*start + s - 1 > total) {
        *count = total - *start > 0 ? total - *start : 0;
        return 1;
    }
    *count = s;
    return 0;
}

/* Reads count frames from start into *raw (allocated here) and moves the
 * position on by the frames read. 0, or -1 with the file closed. */
static int wavReadFrames(AudioFileID file, const AudioStreamBasicDescription *format, SInt64 start,
                         SInt64 count, void **raw, UInt32 *packets)
{
    /* room for the segment asked for, not the whole file */
    UInt32 bytes = (UInt32)count * format->mBytesPerFrame;
    *packets = 0;
    *raw = malloc(bytes ? bytes : 1);
    if (!*raw)
        return fileFail(file, NULL, "Couldn't read from sound file.\n", -1);
    if (count > 0) {
        *packets = (UInt32)count;
        if (AudioFileReadPacketData(file, 0, &bytes, NULL, start, packets, *raw) != 0)
            return fileFail(file, *raw, "Couldn't read from sound file.\n", -1);
        if (*packets > (UInt32)count)
            *packets = (UInt32)count;
    }
    currFramePosition += *packets;
    return 0;
}

int qm_wavreadOSX_Seek(const char *path, double **left, double **right, int *numFrames,
                       AudioStreamBasicDescription *format, float segDur, int reset,
                       double maxLength)
{
    AudioFileID file = NULL;
    SInt64 total, start, count;
    UInt32 packets = 0;
    void *raw;

    if (reset == 1)
        currFramePosition = 0;
    int status = wavOpen(path, &file, format, &total, numFrames);
    if (status != 0)
        return status;
    int cut = wavSegment(segDur, format->mSampleRate, total, &start, &count);

    if ((double)total / format->mSampleRate > maxLength) {
        printf("Error: maximum file length allowed is %u seconds.\n", secondsForMessage(maxLength));
        AudioFileClose(file);
        return -2;
    }
    if (!sizeFits(total, format->mBytesPerFrame))
        return fileFail(file, NULL, "Couldn't read from sound file.\n", -1);
    /* Nothing is asked for at or past the end, nor more than the buffer holds. */
    if (count > total - start)
        count = total - start > 0 ? total - start : 0;
    if (wavReadFrames(file, format, start, count, &raw, &packets) != 0)
        return -1;

    if (!is16Bit(format)) {
        *left = NULL;
        *right = NULL;
        return fileFail(file, raw, "Unsupported bit number.\n", -3);
    }
    if (splitChannels(raw, format->mChannelsPerFrame, packets, left, right) != 0)
        return fileFail(file, raw, "Couldn't read from sound file.\n", -1);
    free(raw);

    if (AudioFileClose(file) != 0) {
        dropChannels(left, right);
        printf("Couldn't close sound file.\n");
        return -1;
    }
    *numFrames = (int)packets;
    return cut ? -2 : 0;
}
