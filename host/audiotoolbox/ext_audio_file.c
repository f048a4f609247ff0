/* Sequential reading and writing of whole files. */
#include "at_internal.h"

#include <stdlib.h>
#include <string.h>

struct OpaqueExtAudioFile {
    kv_at_file file;
};

static OSStatus newHandle(ExtAudioFileRef *out, kv_at_file *f) {
    ExtAudioFileRef h = malloc(sizeof *h);
    if (!h) {
        kv_at_close(f);
        return kAudioFileUnspecifiedError;
    }
    h->file = *f;
    *out = h;
    return 0;
}

OSStatus ExtAudioFileOpenURL(CFURLRef inURL, ExtAudioFileRef *outExtAudioFile) {
    kv_at_file f = {.fd = -1};
    OSStatus err;
    if (!outExtAudioFile) return kAudio_ParamError;
    if ((err = kv_at_open(kv_cf_urlPath(inURL), SFM_READ, &f)) != 0) return err;
    return newHandle(outExtAudioFile, &f);
}

OSStatus ExtAudioFileCreateWithURL(CFURLRef inURL, AudioFileTypeID inFileType,
                                   const AudioStreamBasicDescription *inStreamDesc,
                                   const AudioChannelLayout *inChannelLayout, UInt32 inFlags,
                                   ExtAudioFileRef *outExtAudioFile) {
    kv_at_file f = {.fd = -1};
    OSStatus err;
    (void)inChannelLayout;
    if (!outExtAudioFile) return kAudio_ParamError;
    err = kv_at_create(inURL, inFileType, inStreamDesc, inFlags, SFM_WRITE, &f);
    if (err != 0) return err;
    return newHandle(outExtAudioFile, &f);
}

OSStatus ExtAudioFileDispose(ExtAudioFileRef inExtAudioFile) {
    OSStatus err;
    if (!inExtAudioFile) return kAudio_ParamError;
    err = kv_at_close(&inExtAudioFile->file);
    free(inExtAudioFile);
    return err;
}

OSStatus ExtAudioFileRead(ExtAudioFileRef inExtAudioFile, UInt32 *ioNumberFrames, AudioBufferList *ioData) {
    kv_at_file *f;
    UInt32 bpf, want;
    sf_count_t got;

    if (!inExtAudioFile || !ioNumberFrames || !ioData) return kAudio_ParamError;
    f = &inExtAudioFile->file;
    if (!f->canRead) return kExtAudioFileError_InvalidOperationOrder;
    if (f->fmt.mFormatID != kAudioFormatLinearPCM) return kExtAudioFileError_InvalidDataFormat;
    bpf = f->fmt.mBytesPerFrame;
    want = *ioNumberFrames;
    if (want == 0) return 0;
    if (ioData->mNumberBuffers != 1 || !ioData->mBuffers[0].mData) return kAudio_ParamError;
    if (want > ioData->mBuffers[0].mDataByteSize / bpf) want = ioData->mBuffers[0].mDataByteSize / bpf;

    got = kv_at_readFrames(f, ioData->mBuffers[0].mData, want);
    if (got < 0) {
        *ioNumberFrames = 0;
        return kAudioFileUnspecifiedError;
    }
    *ioNumberFrames = (UInt32)got;
    ioData->mBuffers[0].mDataByteSize = (UInt32)got * bpf;
    return 0;
}

OSStatus ExtAudioFileWrite(ExtAudioFileRef inExtAudioFile, UInt32 inNumberFrames, const AudioBufferList *ioData) {
    kv_at_file *f;
    sf_count_t put;

    if (!inExtAudioFile || !ioData) return kAudio_ParamError;
    f = &inExtAudioFile->file;
    if (!f->canWrite) return kExtAudioFileError_InvalidOperationOrder;
    if (inNumberFrames == 0) return 0;
    if (ioData->mNumberBuffers != 1 || !ioData->mBuffers[0].mData ||
        ioData->mBuffers[0].mDataByteSize / f->fmt.mBytesPerFrame < inNumberFrames)
        return kAudio_ParamError;

    put = kv_at_writeFrames(f, ioData->mBuffers[0].mData, inNumberFrames);
    if (put != (sf_count_t)inNumberFrames) return kAudioFileUnspecifiedError;
    f->frames += put;
    return 0;
}

static UInt32 propertySize(ExtAudioFilePropertyID id) {
    if (id == kExtAudioFileProperty_FileDataFormat) return sizeof(AudioStreamBasicDescription);
    if (id == kExtAudioFileProperty_FileLengthFrames) return sizeof(SInt64);
    return 0;
}

OSStatus ExtAudioFileGetPropertyInfo(ExtAudioFileRef inExtAudioFile, ExtAudioFilePropertyID inPropertyID,
                                     UInt32 *outSize, Boolean *outWritable) {
    UInt32 size = propertySize(inPropertyID);
    if (!inExtAudioFile) return kAudio_ParamError;
    if (!size) return kExtAudioFileError_InvalidProperty;
    if (outSize) *outSize = size;
    if (outWritable) *outWritable = 0;
    return 0;
}

OSStatus ExtAudioFileGetProperty(ExtAudioFileRef inExtAudioFile, ExtAudioFilePropertyID inPropertyID,
                                 UInt32 *ioPropertyDataSize, void *outPropertyData) {
    UInt32 size = propertySize(inPropertyID);
    kv_at_file *f;
    if (!inExtAudioFile || !ioPropertyDataSize || !outPropertyData) return kAudio_ParamError;
    if (!size) return kExtAudioFileError_InvalidProperty;
    if (*ioPropertyDataSize != size) return kExtAudioFileError_InvalidPropertySize;
    f = &inExtAudioFile->file;
    if (inPropertyID == kExtAudioFileProperty_FileDataFormat)
        memcpy(outPropertyData, &f->fmt, size);
    else
        memcpy(outPropertyData, &f->frames, size);
    return 0;
}
