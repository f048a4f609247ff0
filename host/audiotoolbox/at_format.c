/* Between libsndfile's format words and stream descriptions. */
#include "at_internal.h"

#include <math.h>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define KV_NATIVE_ENDIAN kAudioFormatFlagIsBigEndian
#else
#define KV_NATIVE_ENDIAN 0U
#endif

static AudioFileTypeID fileType(int major) {
    switch (major) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
        return kAudioFileWAVEType;
    case SF_FORMAT_AIFF:
        return kAudioFileAIFFType;
    case SF_FORMAT_AU:
        return kAudioFileNextType;
    case SF_FORMAT_CAF:
        return kAudioFileCAFType;
    case SF_FORMAT_W64:
        return kAudioFileWave64Type;
    case SF_FORMAT_RF64:
        return kAudioFileRF64Type;
    case SF_FORMAT_FLAC:
        return kAudioFileFLACType;
    default:
        return 0;
    }
}

/* Containers whose data is compressed whatever subtype is reported. */
static int compressedContainer(int major) {
    return major == SF_FORMAT_FLAC || major == SF_FORMAT_OGG || major == SF_FORMAT_MPEG;
}

static AudioFormatID compressedID(int major, int sub) {
    if (major == SF_FORMAT_FLAC) return kAudioFormatFLAC;
    if (major == SF_FORMAT_MPEG) return kAudioFormatMPEGLayer3;
    if (sub == SF_FORMAT_OPUS) return kAudioFormatOpus;
    if (sub == SF_FORMAT_ULAW) return kAudioFormatULaw;
    if (sub == SF_FORMAT_ALAW) return kAudioFormatALaw;
    return KV_AT_FORMAT_OTHER;
}

void kv_at_describe(const SF_INFO *info, AudioStreamBasicDescription *fmt, AudioFileTypeID *type) {
    int major = info->format & SF_FORMAT_TYPEMASK;
    int sub = info->format & SF_FORMAT_SUBMASK;
    UInt32 bits = 0, flags = 0;

    if (!compressedContainer(major)) {
        switch (sub) {
        case SF_FORMAT_PCM_U8:
            bits = 8;
            break;
        case SF_FORMAT_PCM_S8:
            bits = 8;
            flags = kAudioFormatFlagIsSignedInteger;
            break;
        case SF_FORMAT_PCM_16:
            bits = 16;
            flags = kAudioFormatFlagIsSignedInteger;
            break;
        case SF_FORMAT_PCM_24:
            bits = 24;
            flags = kAudioFormatFlagIsSignedInteger;
            break;
        case SF_FORMAT_PCM_32:
            bits = 32;
            flags = kAudioFormatFlagIsSignedInteger;
            break;
        case SF_FORMAT_FLOAT:
            bits = 32;
            flags = kAudioFormatFlagIsFloat;
            break;
        case SF_FORMAT_DOUBLE:
            bits = 64;
            flags = kAudioFormatFlagIsFloat;
            break;
        default:
            break;
        }
    }
    *fmt = (AudioStreamBasicDescription){0};
    fmt->mSampleRate = info->samplerate;
    fmt->mChannelsPerFrame = (UInt32)info->channels;
    if (bits) {
        fmt->mFormatID = kAudioFormatLinearPCM;
        fmt->mFormatFlags = flags | kAudioFormatFlagIsPacked | KV_NATIVE_ENDIAN;
        fmt->mBitsPerChannel = bits;
        fmt->mBytesPerFrame = fmt->mChannelsPerFrame * (bits / 8);
        fmt->mBytesPerPacket = fmt->mBytesPerFrame;
        fmt->mFramesPerPacket = 1;
    } else {
        fmt->mFormatID = compressedID(major, sub);
    }
    *type = fileType(major);
}

OSStatus kv_at_newFileInfo(AudioFileTypeID type, const AudioStreamBasicDescription *fmt, SF_INFO *info) {
    int major, sub;
    UInt32 nc = fmt->mChannelsPerFrame, bits = fmt->mBitsPerChannel;
    double sr = fmt->mSampleRate;

    if (type == kAudioFileWAVEType)
        major = SF_FORMAT_WAV;
    else if (type == kAudioFileAIFFType)
        major = SF_FORMAT_AIFF;
    else
        return kAudioFileUnsupportedFileTypeError;

    if (fmt->mFormatID != kAudioFormatLinearPCM) return kAudioFileUnsupportedDataFormatError;
    if (fmt->mFormatFlags & kAudioFormatFlagIsFloat) {
        if (bits == 32)
            sub = SF_FORMAT_FLOAT;
        else if (bits == 64)
            sub = SF_FORMAT_DOUBLE;
        else
            return kAudioFileUnsupportedDataFormatError;
    } else if (bits == 16)
        sub = SF_FORMAT_PCM_16;
    else if (bits == 24)
        sub = SF_FORMAT_PCM_24;
    else if (bits == 32)
        sub = SF_FORMAT_PCM_32;
    else
        return kAudioFileUnsupportedDataFormatError;

    /* Packed frames only: byte sizes elsewhere are taken from mBytesPerFrame. */
    if (nc < 1 || nc > 1024 || fmt->mBytesPerFrame != nc * (bits / 8)) return kAudioFileUnsupportedDataFormatError;
    if (!(sr >= 1.0 && sr <= 2147483647.0)) return kAudioFileUnsupportedDataFormatError;

    *info = (SF_INFO){0};
    info->samplerate = (int)lround(sr);
    info->channels = (int)nc;
    info->format = major | sub;
    return sf_format_check(info) ? 0 : kAudioFileUnsupportedDataFormatError;
}
