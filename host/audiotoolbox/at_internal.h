/* Shared pieces of the audio-file stand-in. */
#ifndef KV_AT_INTERNAL_H
#define KV_AT_INTERNAL_H

#include <sndfile.h>
#include <AudioToolbox/AudioToolbox.h>

/* Data formats libsndfile can hold that have no code of their own here. */
#define KV_AT_FORMAT_OTHER ((AudioFormatID)0x3f3f3f3f) /* '????' */

/* One open file, for either kind of handle. The descriptor is ours and is
 * closed after libsndfile lets go of it. */
typedef struct kv_at_file {
    int fd;
    SNDFILE *sf;
    int canRead, canWrite;
    SInt64 frames;                   /* current length in frames */
    AudioStreamBasicDescription fmt; /* as samples travel */
    AudioFileTypeID type;
} kv_at_file;

/* The path a file URL was made from, or NULL for anything else. */
const char *kv_cf_urlPath(CFURLRef url);

/* Fills fmt and type from what libsndfile says of an open file. */
void kv_at_describe(const SF_INFO *info, AudioStreamBasicDescription *fmt, AudioFileTypeID *type);
/* libsndfile settings for a new file of that type and data format;
 * 0, or the code refusing them. */
OSStatus kv_at_newFileInfo(AudioFileTypeID type, const AudioStreamBasicDescription *fmt, SF_INFO *info);

/* Opens an existing file: SFM_READ, or SFM_RDWR without creating it. */
OSStatus kv_at_open(const char *path, int mode, kv_at_file *f);
/* Creates (or, with erase, empties) a file: SFM_WRITE or SFM_RDWR. Nothing
 * on disk changes when the settings are refused. */
OSStatus kv_at_create(CFURLRef url, AudioFileTypeID type, const AudioStreamBasicDescription *fmt, UInt32 flags,
                      int mode, kv_at_file *f);
/* Closes libsndfile and the descriptor; 0 or an error code. */
OSStatus kv_at_close(kv_at_file *f);

/* Frames in the file's sample format, native byte order, at the current
 * position; the count moved, or -1 when libsndfile failed. Linear PCM only. */
sf_count_t kv_at_readFrames(kv_at_file *f, void *buf, sf_count_t frames);
sf_count_t kv_at_writeFrames(kv_at_file *f, const void *buf, sf_count_t frames);

#endif
