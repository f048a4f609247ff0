/* Stand-in for the platform's string and URL objects. */
#ifndef KV_COREFOUNDATION_H
#define KV_COREFOUNDATION_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t Boolean;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef int64_t SInt64;
typedef uint64_t UInt64;
typedef int32_t OSStatus;

typedef signed long CFIndex;
typedef UInt32 CFStringEncoding;
typedef CFIndex CFURLPathStyle;

/* Every object starts with the same header, so CFRelease can tell them apart. */
typedef const void *CFTypeRef;
typedef const struct kv_CFAllocator *CFAllocatorRef;
typedef const struct kv_CFString *CFStringRef;
typedef const struct kv_CFURL *CFURLRef;

/* Only the default allocator exists. */
#define kCFAllocatorDefault ((CFAllocatorRef)0)

enum { kCFStringEncodingASCII = 0x0600, kCFStringEncodingUTF8 = 0x08000100 };

enum { kCFURLPOSIXPathStyle = 0, kCFURLHFSPathStyle = 1, kCFURLWindowsPathStyle = 2 };

/* A copy of cStr; NULL when cStr is NULL, the encoding is not UTF-8 or
 * ASCII, or the bytes are not valid in that encoding. */
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char *cStr, CFStringEncoding encoding);
/* A file URL for a POSIX path; NULL for another style or an empty path. */
CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef filePath, CFURLPathStyle pathStyle,
                                       Boolean isDirectory);
/* Each object is created with one reference; this drops it. */
void CFRelease(CFTypeRef cf);

#ifdef __cplusplus
}
#endif

#endif
