/* Stand-in for the platform's audio-file services, built on libsndfile.
 * Types first; the file operations follow.
 *
 * Samples always travel in the file's own sample format at native byte
 * order (a 16-bit AIFF file gives native 16-bit integers, as a WAV file
 * does); no client format can be set. */
#ifndef KV_AUDIOTOOLBOX_H
#define KV_AUDIOTOOLBOX_H

#include <stdint.h>
#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef double Float64;
typedef uint32_t AudioFormatID;
typedef uint32_t AudioFormatFlags;

typedef struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
} AudioStreamBasicDescription;

#define kAudioFormatLinearPCM ((AudioFormatID)0x6c70636d)  /* 'lpcm' */
#define kAudioFormatULaw ((AudioFormatID)0x756c6177)       /* 'ulaw' */
#define kAudioFormatALaw ((AudioFormatID)0x616c6177)       /* 'alaw' */
#define kAudioFormatFLAC ((AudioFormatID)0x666c6163)       /* 'flac' */
#define kAudioFormatOpus ((AudioFormatID)0x6f707573)       /* 'opus' */
#define kAudioFormatMPEGLayer3 ((AudioFormatID)0x2e6d7033) /* '.mp3' */

enum {
    kAudioFormatFlagIsFloat = (1U << 0),
    kAudioFormatFlagIsBigEndian = (1U << 1),
    kAudioFormatFlagIsSignedInteger = (1U << 2),
    kAudioFormatFlagIsPacked = (1U << 3)
};

typedef struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void *mData;
} AudioBuffer;

typedef struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];
} AudioBufferList;

typedef struct AudioStreamPacketDescription {
    SInt64 mStartOffset;
    UInt32 mVariableFramesInPacket;
    UInt32 mDataByteSize;
} AudioStreamPacketDescription;

/* Never looked at: callers pass NULL. */
typedef struct AudioChannelLayout AudioChannelLayout;

typedef UInt32 AudioFileTypeID;
typedef UInt32 AudioFilePropertyID;
typedef UInt32 ExtAudioFilePropertyID;
typedef UInt32 AudioFileFlags;
typedef int8_t AudioFilePermissions;

typedef struct OpaqueAudioFileID *AudioFileID;
typedef struct OpaqueExtAudioFile *ExtAudioFileRef;

#define kAudioFileWAVEType ((AudioFileTypeID)0x57415645)   /* 'WAVE' */
#define kAudioFileAIFFType ((AudioFileTypeID)0x41494646)   /* 'AIFF' */
#define kAudioFileAIFCType ((AudioFileTypeID)0x41494643)   /* 'AIFC' */
#define kAudioFileNextType ((AudioFileTypeID)0x4e655854)   /* 'NeXT' */
#define kAudioFileCAFType ((AudioFileTypeID)0x63616666)    /* 'caff' */
#define kAudioFileWave64Type ((AudioFileTypeID)0x57363466) /* 'W64f' */
#define kAudioFileRF64Type ((AudioFileTypeID)0x52463634)   /* 'RF64' */
#define kAudioFileFLACType ((AudioFileTypeID)0x666c6163)   /* 'flac' */

enum { kAudioFileReadPermission = 0x01, kAudioFileWritePermission = 0x02, kAudioFileReadWritePermission = 0x03 };

enum { kAudioFileFlags_EraseFile = 1, kAudioFileFlags_DontPageAlignAudioData = 2 };

#define kAudioFilePropertyFileFormat ((AudioFilePropertyID)0x66666d74)           /* 'ffmt' */
#define kAudioFilePropertyDataFormat ((AudioFilePropertyID)0x64666d74)           /* 'dfmt' */
#define kAudioFilePropertyAudioDataPacketCount ((AudioFilePropertyID)0x70636e74) /* 'pcnt' */

#define kExtAudioFileProperty_FileDataFormat ((ExtAudioFilePropertyID)0x66666d74)   /* 'ffmt' */
#define kExtAudioFileProperty_FileLengthFrames ((ExtAudioFilePropertyID)0x2366726d) /* '#frm' */

enum {
    kAudio_ParamError = -50,
    kAudioFileNotOpenError = -38,
    kAudioFileEndOfFileError = -39,
    kAudioFilePositionError = -40,
    kAudioFileFileNotFoundError = -43,
    kAudioFileUnspecifiedError = 0x7768743f,           /* 'wht?' */
    kAudioFileUnsupportedFileTypeError = 0x7479703f,   /* 'typ?' */
    kAudioFileUnsupportedDataFormatError = 0x666d743f, /* 'fmt?' */
    kAudioFileUnsupportedPropertyError = 0x7074793f,   /* 'pty?' */
    kAudioFileBadPropertySizeError = 0x2173697a,       /* '!siz' */
    kAudioFilePermissionsError = 0x70726d3f,           /* 'prm?' */
    kAudioFileInvalidFileError = 0x6474613f,           /* 'dta?' */
    kAudioFileInvalidPacketOffsetError = 0x70636b3f,   /* 'pck?' */
    kAudioFileOperationNotSupportedError = 0x6f703f3f  /* 'op??' */
};

enum {
    kExtAudioFileError_InvalidProperty = -66561,
    kExtAudioFileError_InvalidPropertySize = -66562,
    kExtAudioFileError_InvalidDataFormat = -66566,
    kExtAudioFileError_InvalidOperationOrder = -66565
};

/* Files are opened, created and closed by path; every call returns 0
 * (noErr) or one of the codes above. Handles are freed by their
 * Dispose/Close call whatever it returns. */

/* Sequential reader (ExtAudioFileOpenURL) or writer (ExtAudioFileCreateWithURL). */
OSStatus ExtAudioFileOpenURL(CFURLRef inURL, ExtAudioFileRef *outExtAudioFile);
/* Types WAVE and AIFF; linear PCM, packed, integer 8/16/24/32 bits or float
 * 32/64 bits. Without the erase flag an existing file is refused. */
OSStatus ExtAudioFileCreateWithURL(CFURLRef inURL, AudioFileTypeID inFileType,
                                   const AudioStreamBasicDescription *inStreamDesc,
                                   const AudioChannelLayout *inChannelLayout, UInt32 inFlags,
                                   ExtAudioFileRef *outExtAudioFile);
OSStatus ExtAudioFileDispose(ExtAudioFileRef inExtAudioFile);
/* Reads at most *ioNumberFrames and at most what mBuffers[0] holds;
 * *ioNumberFrames becomes the frames delivered (0 at the end). */
OSStatus ExtAudioFileRead(ExtAudioFileRef inExtAudioFile, UInt32 *ioNumberFrames, AudioBufferList *ioData);
OSStatus ExtAudioFileWrite(ExtAudioFileRef inExtAudioFile, UInt32 inNumberFrames, const AudioBufferList *ioData);
OSStatus ExtAudioFileGetPropertyInfo(ExtAudioFileRef inExtAudioFile, ExtAudioFilePropertyID inPropertyID,
                                     UInt32 *outSize, Boolean *outWritable);
OSStatus ExtAudioFileGetProperty(ExtAudioFileRef inExtAudioFile, ExtAudioFilePropertyID inPropertyID,
                                 UInt32 *ioPropertyDataSize, void *outPropertyData);

/* Packet-level access; one packet is one frame of linear PCM. Opening for
 * writing never creates a missing file. */
OSStatus AudioFileOpenURL(CFURLRef inFileRef, AudioFilePermissions inPermissions, AudioFileTypeID inFileTypeHint,
                          AudioFileID *outAudioFile);
OSStatus AudioFileCreateWithURL(CFURLRef inFileRef, AudioFileTypeID inFileType,
                                const AudioStreamBasicDescription *inFormat, AudioFileFlags inFlags,
                                AudioFileID *outAudioFile);
OSStatus AudioFileClose(AudioFileID inAudioFile);
OSStatus AudioFileGetPropertyInfo(AudioFileID inAudioFile, AudioFilePropertyID inPropertyID, UInt32 *outDataSize,
                                  UInt32 *isWritable);
OSStatus AudioFileGetProperty(AudioFileID inAudioFile, AudioFilePropertyID inPropertyID, UInt32 *ioDataSize,
                              void *outPropertyData);
/* Reads packets from inStartingPacket, at most *ioNumPackets and at most
 * *ioNumBytes bytes. Asking for none succeeds with none; asking for some at
 * or past the end gives kAudioFileEndOfFileError and none. */
OSStatus AudioFileReadPacketData(AudioFileID inAudioFile, Boolean inUseCache, UInt32 *ioNumBytes,
                                 AudioStreamPacketDescription *outPacketDescriptions, SInt64 inStartingPacket,
                                 UInt32 *ioNumPackets, void *outBuffer);
/* Writes *ioNumPackets packets at inStartingPacket, which may be at most
 * the current packet count (no holes). */
OSStatus AudioFileWritePackets(AudioFileID inAudioFile, Boolean inUseCache, UInt32 inNumBytes,
                               const AudioStreamPacketDescription *inPacketDescriptions, SInt64 inStartingPacket,
                               UInt32 *ioNumPackets, const void *inBuffer);

#ifdef __cplusplus
}
#endif

#endif
