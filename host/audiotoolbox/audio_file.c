/* Packet-level access: reads and writes at a given packet (frame) index. */
#include "at_internal.h"

#include <stdlib.h>
#include <string.h>

struct OpaqueAudioFileID {
    kv_at_file file;
};

static OSStatus newHandle(AudioFileID *out, kv_at_file *f) {
    AudioFileID h = malloc(sizeof *h);
    if (!h) {
        kv_at_close(f);
        return kAudioFileUnspecifiedError;
    }
    h->file = *f;
    *out = h;
    return 0;
}

OSStatus AudioFileOpenURL(CFURLRef inFileRef, AudioFilePermissions inPermissions, AudioFileTypeID inFileTypeHint,
                          AudioFileID *outAudioFile) {
    kv_at_file f = {.fd = -1};
    OSStatus err;
    int mode;
    (void)inFileTypeHint;
    if (!outAudioFile) return kAudio_ParamError;
    if (inPermissions == kAudioFileReadPermission)
        mode = SFM_READ;
    else if (inPermissions == kAudioFileWritePermission || inPermissions == kAudioFileReadWritePermission)
        mode = SFM_RDWR;
    else
        return kAudioFilePermissionsError;
    if ((err = kv_at_open(kv_cf_urlPath(inFileRef), mode, &f)) != 0) return err;
    f.canRead = inPermissions != kAudioFileWritePermission;
    return newHandle(outAudioFile, &f);
}

OSStatus AudioFileCreateWithURL(CFURLRef inFileRef, AudioFileTypeID inFileType,
                                const AudioStreamBasicDescription *inFormat, AudioFileFlags inFlags,
                                AudioFileID *outAudioFile) {
    kv_at_file f = {.fd = -1};
    OSStatus err;
    if (!outAudioFile) return kAudio_ParamError;
    err = kv_at_create(inFileRef, inFileType, inFormat, inFlags, SFM_RDWR, &f);
    if (err != 0) return err;
    return newHandle(outAudioFile, &f);
}

OSStatus AudioFileClose(AudioFileID inAudioFile) {
    OSStatus err;
    if (!inAudioFile) return kAudio_ParamError;
    err = kv_at_close(&inAudioFile->file);
    free(inAudioFile);
    return err;
}

static UInt32 propertySize(AudioFilePropertyID id) {
    if (id == kAudioFilePropertyDataFormat) return sizeof(AudioStreamBasicDescription);
    if (id == kAudioFilePropertyAudioDataPacketCount) return sizeof(UInt64);
    if (id == kAudioFilePropertyFileFormat) return sizeof(AudioFileTypeID);
    return 0;
}

OSStatus AudioFileGetPropertyInfo(AudioFileID inAudioFile, AudioFilePropertyID inPropertyID, UInt32 *outDataSize,
                                  UInt32 *isWritable) {
    UInt32 size = propertySize(inPropertyID);
    if (!inAudioFile) return kAudio_ParamError;
    if (!size) return kAudioFileUnsupportedPropertyError;
    if (outDataSize) *outDataSize = size;
    if (isWritable) *isWritable = 0;
    return 0;
}

OSStatus AudioFileGetProperty(AudioFileID inAudioFile, AudioFilePropertyID inPropertyID, UInt32 *ioDataSize,
                              void *outPropertyData) {
    UInt32 size = propertySize(inPropertyID);
    kv_at_file *f;
    if (!inAudioFile || !ioDataSize || !outPropertyData) return kAudio_ParamError;
    if (!size) return kAudioFileUnsupportedPropertyError;
    if (*ioDataSize < size) return kAudioFileBadPropertySizeError;
    *ioDataSize = size;
    f = &inAudioFile->file;
    if (inPropertyID == kAudioFilePropertyDataFormat)
        memcpy(outPropertyData, &f->fmt, size);
    else if (inPropertyID == kAudioFilePropertyAudioDataPacketCount)
        memcpy(outPropertyData, &f->frames, size);
    else
        memcpy(outPropertyData, &f->type, size);
    return 0;
}

OSStatus AudioFileReadPacketData(AudioFileID inAudioFile, Boolean inUseCache, UInt32 *ioNumBytes,
                                 AudioStreamPacketDescription *outPacketDescriptions, SInt64 inStartingPacket,
                                 UInt32 *ioNumPackets, void *outBuffer) {
    kv_at_file *f;
    UInt32 bpf, want;
    sf_count_t got;
    (void)inUseCache;
    (void)outPacketDescriptions;

    if (!inAudioFile || !ioNumBytes || !ioNumPackets) return kAudio_ParamError;
    f = &inAudioFile->file;
    if (!f->canRead) return kAudioFilePermissionsError;
    if (f->fmt.mFormatID != kAudioFormatLinearPCM) return kAudioFileOperationNotSupportedError;
    if (inStartingPacket < 0) return kAudioFileInvalidPacketOffsetError;
    bpf = f->fmt.mBytesPerFrame;
    want = *ioNumPackets;
    if (want > *ioNumBytes / bpf) want = *ioNumBytes / bpf;
    *ioNumPackets = 0;
    *ioNumBytes = 0;
    if (want == 0) return 0;
    if (!outBuffer) return kAudio_ParamError;
    if (inStartingPacket >= f->frames) return kAudioFileEndOfFileError;
    if (sf_seek(f->sf, inStartingPacket, SEEK_SET) < 0) return kAudioFilePositionError;

    got = kv_at_readFrames(f, outBuffer, want);
    if (got < 0) return kAudioFileUnspecifiedError;
    *ioNumPackets = (UInt32)got;
    *ioNumBytes = (UInt32)got * bpf;
    return 0;
}

OSStatus AudioFileWritePackets(AudioFileID inAudioFile, Boolean inUseCache, UInt32 inNumBytes,
                               const AudioStreamPacketDescription *inPacketDescriptions, SInt64 inStartingPacket,
                               UInt32 *ioNumPackets, const void *inBuffer) {
    kv_at_file *f;
    UInt32 n;
    sf_count_t put;
    (void)inUseCache;
    (void)inPacketDescriptions;

    if (!inAudioFile || !ioNumPackets) return kAudio_ParamError;
    f = &inAudioFile->file;
    if (!f->canWrite) return kAudioFilePermissionsError;
    if (f->fmt.mFormatID != kAudioFormatLinearPCM) return kAudioFileOperationNotSupportedError;
    if (inStartingPacket < 0 || inStartingPacket > f->frames) return kAudioFileInvalidPacketOffsetError;
    n = *ioNumPackets;
    *ioNumPackets = 0;
    if (n == 0) return 0;
    if (!inBuffer || inNumBytes / f->fmt.mBytesPerFrame < n) return kAudio_ParamError;
    if (sf_seek(f->sf, inStartingPacket, SEEK_SET) < 0) return kAudioFilePositionError;

    put = kv_at_writeFrames(f, inBuffer, n);
    if (put <= 0) return kAudioFileUnspecifiedError;
    *ioNumPackets = (UInt32)put;
    if (inStartingPacket + put > f->frames) f->frames = inStartingPacket + put;
    return put == (sf_count_t)n ? 0 : kAudioFileUnspecifiedError;
}
