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

#ifdef __cplusplus
}
#endif

#endif
