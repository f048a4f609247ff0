/* Shared by the sound-file readers and writers. */
#ifndef QM_FILE_URL_H
#define QM_FILE_URL_H

#include <AudioToolbox/AudioToolbox.h>

/* A file URL for a UTF-8 POSIX path; NULL when it cannot be made.
 * The caller releases it with CFRelease. */
CFURLRef qm_fileURL(const char *path);

#endif
