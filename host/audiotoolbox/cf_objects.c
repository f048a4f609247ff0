/* Strings and URLs: a tagged copy of the text, one reference each. */
#define _POSIX_C_SOURCE 200809L
#include "at_internal.h"

#include <stdlib.h>
#include <string.h>

enum { KV_CF_STRING = 0x53545247, KV_CF_URL = 0x55524c20 };

/* What CFStringRef and CFURLRef point at. */
typedef struct kv_CFObject {
    int kind;
    char *text;
} kv_CFObject;

/* Well-formed UTF-8: no overlongs, no surrogates, nothing past U+10FFFF. */
static int validUTF8(const unsigned char *s) {
    while (*s) {
        unsigned c = *s++;
        int more;
        unsigned cp, min;
        if (c < 0x80) continue;
        if ((c & 0xe0) == 0xc0) {
            more = 1;
            cp = c & 0x1f;
            min = 0x80;
        } else if ((c & 0xf0) == 0xe0) {
            more = 2;
            cp = c & 0x0f;
            min = 0x800;
        } else if ((c & 0xf8) == 0xf0) {
            more = 3;
            cp = c & 0x07;
            min = 0x10000;
        } else
            return 0;
        while (more--) {
            if ((*s & 0xc0) != 0x80) return 0;
            cp = (cp << 6) | (*s++ & 0x3f);
        }
        if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
    }
    return 1;
}

static int validASCII(const unsigned char *s) {
    for (; *s; s++)
        if (*s >= 0x80) return 0;
    return 1;
}

static void *makeObject(int kind, const char *text) {
    kv_CFObject *o = malloc(sizeof *o);
    if (!o) return NULL;
    o->kind = kind;
    o->text = strdup(text);
    if (!o->text) {
        free(o);
        return NULL;
    }
    return o;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char *cStr, CFStringEncoding encoding) {
    (void)alloc;
    if (!cStr) return NULL;
    if (encoding == kCFStringEncodingUTF8) {
        if (!validUTF8((const unsigned char *)cStr)) return NULL;
    } else if (encoding == kCFStringEncodingASCII) {
        if (!validASCII((const unsigned char *)cStr)) return NULL;
    } else {
        return NULL;
    }
    return makeObject(KV_CF_STRING, cStr);
}

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef filePath, CFURLPathStyle pathStyle,
                                       Boolean isDirectory) {
    (void)allocator;
    (void)isDirectory;
    const kv_CFObject *s = (const kv_CFObject *)filePath;
    if (!s || s->kind != KV_CF_STRING) return NULL;
    if (pathStyle != kCFURLPOSIXPathStyle || s->text[0] == '\0') return NULL;
    return makeObject(KV_CF_URL, s->text);
}

void CFRelease(CFTypeRef cf) {
    kv_CFObject *o = (kv_CFObject *)cf;
    if (!o) return;
    free(o->text);
    free(o);
}

const char *kv_cf_urlPath(CFURLRef url) {
    const kv_CFObject *u = (const kv_CFObject *)url;
    if (!u || u->kind != KV_CF_URL) return NULL;
    return u->text;
}
