/* Samples in the file's own format at native byte order. libsndfile gives
 * 16- and 32-bit integers and floats directly; 8- and 24-bit samples are
 * packed from its left-justified ints. */
#include "at_internal.h"

#include <stdint.h>
#include <string.h>

enum { KV_CHUNK = 1024 };

static int isFloat(const AudioStreamBasicDescription *fmt) {
    return (fmt->mFormatFlags & kAudioFormatFlagIsFloat) != 0;
}

static void pack(const int *in, unsigned char *out, size_t n, UInt32 bits, int isSigned) {
    for (size_t i = 0; i < n; i++) {
        uint32_t v = (uint32_t)in[i];
        if (bits == 8) {
            out[i] = (unsigned char)((v >> 24) ^ (isSigned ? 0u : 0x80u));
        } else {
            uint32_t s = v >> 8;
            unsigned char b[3] = {(unsigned char)s, (unsigned char)(s >> 8), (unsigned char)(s >> 16)};
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            out[3 * i] = b[2];
            out[3 * i + 1] = b[1];
            out[3 * i + 2] = b[0];
#else
            memcpy(out + 3 * i, b, 3);
#endif
        }
    }
}

static void unpack(const unsigned char *in, int *out, size_t n, UInt32 bits, int isSigned) {
    for (size_t i = 0; i < n; i++) {
        uint32_t v;
        if (bits == 8) {
            v = ((uint32_t)in[i] ^ (isSigned ? 0u : 0x80u)) << 24;
        } else {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            v = ((uint32_t)in[3 * i] << 24) | ((uint32_t)in[3 * i + 1] << 16) | ((uint32_t)in[3 * i + 2] << 8);
#else
            v = ((uint32_t)in[3 * i + 2] << 24) | ((uint32_t)in[3 * i + 1] << 16) | ((uint32_t)in[3 * i] << 8);
#endif
        }
        out[i] = (int)v;
    }
}

sf_count_t kv_at_readFrames(kv_at_file *f, void *buf, sf_count_t frames) {
    const AudioStreamBasicDescription *fmt = &f->fmt;
    UInt32 bits = fmt->mBitsPerChannel, nc = fmt->mChannelsPerFrame;
    int tmp[KV_CHUNK];
    sf_count_t done = 0, per;

    if (fmt->mFormatID != kAudioFormatLinearPCM) return -1;
    if (isFloat(fmt)) return bits == 64 ? sf_readf_double(f->sf, buf, frames) : sf_readf_float(f->sf, buf, frames);
    if (bits == 16) return sf_readf_short(f->sf, buf, frames);
    if (bits == 32) return sf_readf_int(f->sf, buf, frames);

    per = KV_CHUNK / nc;
    if (per < 1) return -1;
    while (done < frames) {
        sf_count_t want = frames - done < per ? frames - done : per;
        sf_count_t got = sf_readf_int(f->sf, tmp, want);
        if (got <= 0) break;
        pack(tmp, (unsigned char *)buf + done * fmt->mBytesPerFrame, (size_t)(got * nc), bits,
             (fmt->mFormatFlags & kAudioFormatFlagIsSignedInteger) != 0);
        done += got;
        if (got < want) break;
    }
    return done;
}

sf_count_t kv_at_writeFrames(kv_at_file *f, const void *buf, sf_count_t frames) {
    const AudioStreamBasicDescription *fmt = &f->fmt;
    UInt32 bits = fmt->mBitsPerChannel, nc = fmt->mChannelsPerFrame;
    int tmp[KV_CHUNK];
    sf_count_t done = 0, per;

    if (fmt->mFormatID != kAudioFormatLinearPCM) return -1;
    if (isFloat(fmt)) return bits == 64 ? sf_writef_double(f->sf, buf, frames) : sf_writef_float(f->sf, buf, frames);
    if (bits == 16) return sf_writef_short(f->sf, buf, frames);
    if (bits == 32) return sf_writef_int(f->sf, buf, frames);

    per = KV_CHUNK / nc;
    if (per < 1) return -1;
    while (done < frames) {
        sf_count_t want = frames - done < per ? frames - done : per;
        sf_count_t put;
        unpack((const unsigned char *)buf + done * fmt->mBytesPerFrame, tmp, (size_t)(want * nc), bits,
               (fmt->mFormatFlags & kAudioFormatFlagIsSignedInteger) != 0);
        put = sf_writef_int(f->sf, tmp, want);
        if (put <= 0) break;
        done += put;
        if (put < want) break;
    }
    return done;
}
