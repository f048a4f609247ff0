/* Stand-in for the platform's audio-file services, built on libsndfile.
 * Types first; the file operations follow. */
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

#define kAudioFormatLinearPCM ((AudioFormatID)0x6c70636d) /* 'lpcm' */

/* The file operations (ExtAudioFile..., AudioFile...) are declared below. */

#ifdef __cplusplus
}
#endif

#endif
