/* Opening, creating and closing files through our own descriptors, so that
 * opening for writing never creates a file and nothing leaks on failure. */
#define _POSIX_C_SOURCE 200809L
#include "at_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static OSStatus fromErrno(int e) {
    if (e == ENOENT || e == ENOTDIR) return kAudioFileFileNotFoundError;
    if (e == EACCES || e == EPERM || e == EROFS || e == EISDIR) return kAudioFilePermissionsError;
    return kAudioFileUnspecifiedError;
}

static OSStatus attach(int fd, int mode, SF_INFO *info, kv_at_file *f) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return kAudioFileInvalidFileError;
    }
    f->sf = sf_open_fd(fd, mode, info, SF_FALSE);
    if (!f->sf) {
        close(fd);
        return kAudioFileInvalidFileError;
    }
    f->fd = fd;
    f->canRead = mode != SFM_WRITE;
    f->canWrite = mode != SFM_READ;
    kv_at_describe(info, &f->fmt, &f->type);
    f->frames = info->frames;
    /* a header's length is believed only as far as the file has room for it */
    if (f->fmt.mFormatID == kAudioFormatLinearPCM && f->fmt.mBytesPerFrame > 0 &&
        f->frames > st.st_size / (off_t)f->fmt.mBytesPerFrame)
        f->frames = st.st_size / (off_t)f->fmt.mBytesPerFrame;
    return 0;
}

OSStatus kv_at_open(const char *path, int mode, kv_at_file *f) {
    SF_INFO info = {0};
    int fd;
    if (!path) return kAudio_ParamError;
    fd = open(path, (mode == SFM_READ ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (fd < 0) return fromErrno(errno);
    return attach(fd, mode, &info, f);
}

OSStatus kv_at_create(CFURLRef url, AudioFileTypeID type, const AudioStreamBasicDescription *fmt, UInt32 flags,
                      int mode, kv_at_file *f) {
    const char *path = kv_cf_urlPath(url);
    SF_INFO info;
    OSStatus err;
    int fd, oflags = O_RDWR | O_CREAT | O_CLOEXEC;

    if (!path || !fmt) return kAudio_ParamError;
    if ((err = kv_at_newFileInfo(type, fmt, &info)) != 0) return err;
    oflags |= (flags & kAudioFileFlags_EraseFile) ? O_TRUNC : O_EXCL;
    fd = open(path, oflags, 0666);
    if (fd < 0) return errno == EEXIST ? kAudioFilePermissionsError : fromErrno(errno);
    /* An empty file opened for reading and writing is written as new. */
    return attach(fd, mode, &info, f);
}

OSStatus kv_at_close(kv_at_file *f) {
    OSStatus err = 0;
    if (f->sf && sf_close(f->sf) != 0) err = kAudioFileUnspecifiedError;
    if (f->fd >= 0 && close(f->fd) != 0) err = kAudioFileUnspecifiedError;
    f->sf = NULL;
    f->fd = -1;
    return err;
}
