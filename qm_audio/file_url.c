#include "file_url.h"

#include <stddef.h>

CFURLRef qm_fileURL(const char *path)
{
    if (!path) return NULL;
    CFStringRef s = CFStringCreateWithCString(kCFAllocatorDefault, path, kCFStringEncodingUTF8);
    if (!s) return NULL;
    CFURLRef url = CFURLCreateWithFileSystemPath(kCFAllocatorDefault, s, kCFURLPOSIXPathStyle, 0);
    CFRelease(s);
    return url;
}
