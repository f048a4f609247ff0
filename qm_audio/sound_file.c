#include "sound_file.h"

#include <stddef.h>
#include <stdint.h>

CFURLRef qm_fileURL(const char *path)
{
    if (!path)
        return NULL;
    CFStringRef s = CFStringCreateWithCString(kCFAllocatorDefault, path, kCFStringEncodingUTF8);
    if (!s)
        return NULL;
    CFURLRef url = CFURLCreateWithFileSystemPath(kCFAllocatorDefault, s, kCFURLPOSIXPathStyle, 0);
    CFRelease(s);
    return url;
}

SInt64 qm_segmentFrames(float segDur, double sampleRate)
{
    double s = (double)segDur * sampleRate;
    if (!(s >= 0.0))
        return 0;
    if (s >= 4611686018427387904.0)
        return INT64_C(4611686018427387904);
    return (SInt64)s;
}
