/* Shared by the sound-file readers and writers. */
#ifndef QM_SOUND_FILE_H
#define QM_SOUND_FILE_H

#include <AudioToolbox/AudioToolbox.h>

/* A file URL for a UTF-8 POSIX path; NULL when it cannot be made.
 * The caller releases it with CFRelease. */
CFURLRef qm_fileURL(const char *path);

/* Frames in a segment of segDur seconds: segDur x rate, truncated; 0 for a
 * negative or NaN duration, and kept far from overflow. */
SInt64 qm_segmentFrames(float segDur, double sampleRate);

#endif
