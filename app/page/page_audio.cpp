// Ogg Opus in memory: resampled to Opus's 48 kHz by libsoxr, encoded and
// put in Ogg pages by libopusenc.
#include "page/page.hpp"
#include "page/page_encoder.hpp"

#include <opus/opusenc.h>
#include <soxr.h>

#include <algorithm>
#include <new>
#include <vector>

namespace korvane {

namespace {

// libopusenc's writer: appends to the stream's bytes; a failure ends the encoding
int appendBytes(void *user, const unsigned char *ptr, opus_int32 len) {
    try {
        static_cast<std::string *>(user)->append(reinterpret_cast<const char *>(ptr), static_cast<size_t>(len));
        return 0;
    } catch (const std::bad_alloc &) {
        return 1;
    }
}

int closeNothing(void *) {
    return 0;
}

// the cheapest analysis, in about 40 % of the default's time: the page is
// for listening, and its bitrates leave the coding noise well down
constexpr int kComplexity = 0;

constexpr int kOpusRate = 48000;
// input frames handed to the resampler at a time
constexpr long kChunk = 4096;

std::string opusError(const char *what, int code) {
    if (code == OPE_WRITE_FAIL || code == OPE_ALLOC_FAIL) return "not enough memory for the page's audio";
    return std::string(what) + ope_strerror(code);
}

}  // namespace

int pageAudioBitrate(int streams, double seconds) {
    double streamSeconds = streams * seconds;
    if (streamSeconds <= 900) return 48000;
    if (streamSeconds <= 3000) return 40000;
    if (streamSeconds <= 12000) return 32000;
    return 24000;
}

OpusStream::~OpusStream() {
    close();
}

void OpusStream::close() {
    if (enc_) ope_encoder_destroy(enc_);
    enc_ = nullptr;
    if (resampler_) soxr_delete(resampler_);
    resampler_ = nullptr;
}

bool OpusStream::open(int channels, int sampleRate, int bitrate, int serial, std::string &err) {
    close();
    bytes_.clear();
    channels_ = channels;
    OpusEncCallbacks io{appendBytes, closeNothing};
    OggOpusComments *tags = ope_comments_create();
    int code = tags ? OPE_OK : OPE_ALLOC_FAIL;
    if (tags && channels >= 1 && channels <= 2 && sampleRate > 0)
        enc_ = ope_encoder_create_callbacks(&io, &bytes_, tags, kOpusRate, channels, 0, &code);
    else if (tags)
        code = OPE_BAD_ARG;
    if (tags) ope_comments_destroy(tags);
    if (!enc_) {
        err = opusError("cannot encode the page's audio as Ogg Opus: ", code);
        return false;
    }
    if (sampleRate != kOpusRate) {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        const soxr_runtime_spec_t threads = soxr_runtime_spec(1);
        soxr_error_t e = nullptr;
        resampler_ = soxr_create(sampleRate, kOpusRate, static_cast<unsigned>(channels), &e, &io, &quality, &threads);
        if (!resampler_) {
            close();
            err = std::string("cannot resample the page's audio: ") + (e ? e : "no resampler");
            return false;
        }
        // room for what a chunk gives, with the resampler's delay
        const long out = kChunk * kOpusRate / sampleRate + kChunk;
        resampled_.assign(static_cast<size_t>(out) * channels, 0.0f);
    }
    ope_encoder_ctl(enc_, OPE_SET_SERIALNO(serial));
    ope_encoder_ctl(enc_, OPE_SET_COMMENT_PADDING(0));
    ope_encoder_ctl(enc_, OPUS_SET_COMPLEXITY(kComplexity));
    ope_encoder_ctl(enc_, OPUS_SET_BITRATE(bitrate * channels));
    // fewer, longer packets: libopusenc makes two control calls a packet,
    // each asking the processor what it is, which costs much on a virtual
    // machine
    ope_encoder_ctl(enc_, OPUS_SET_EXPERT_FRAME_DURATION(OPUS_FRAMESIZE_120_MS));
    return true;
}

bool OpusStream::encode(const float *interleaved, long frames, std::string &err) {
    // whole numbers of frames, in pieces libopusenc's int takes
    for (long at = 0; at < frames;) {
        const long n = std::min<long>(frames - at, 1L << 20);
        const int code =
            ope_encoder_write_float(enc_, interleaved + static_cast<size_t>(at) * channels_, static_cast<int>(n));
        if (code != OPE_OK) {
            err = opusError("cannot encode the page's audio: ", code);
            return false;
        }
        at += n;
    }
    return true;
}

// Through the resampler, or all that it still holds when interleaved is null.
bool OpusStream::resample(const float *interleaved, long frames, std::string &err) {
    const size_t room = resampled_.size() / static_cast<size_t>(channels_);
    for (long at = 0;;) {
        const long n = interleaved ? std::min(frames - at, kChunk) : 0;
        size_t used = 0, made = 0;
        const soxr_error_t e =
            soxr_process(resampler_, interleaved ? interleaved + static_cast<size_t>(at) * channels_ : nullptr,
                         static_cast<size_t>(n), &used, resampled_.data(), room, &made);
        if (e) {
            err = std::string("cannot resample the page's audio: ") + e;
            return false;
        }
        if (made > 0 && !encode(resampled_.data(), static_cast<long>(made), err)) return false;
        at += static_cast<long>(used);
        if (interleaved ? at >= frames && made < room : made == 0) return true;
    }
}

bool OpusStream::add(const float *interleaved, long frames, std::string &err) {
    if (!enc_) {
        err = "cannot encode the page's audio: the stream is not open";
        return false;
    }
    if (frames <= 0) return true;
    return resampler_ ? resample(interleaved, frames, err) : encode(interleaved, frames, err);
}

bool OpusStream::finish(std::string &out, std::string &err) {
    if (!enc_) {
        err = "cannot encode the page's audio: the stream is not open";
        return false;
    }
    const std::vector<float> silence(static_cast<size_t>(kPagePadFrames) * channels_, 0.0f);
    bool ok = add(silence.data(), kPagePadFrames, err) && (!resampler_ || resample(nullptr, 0, err));
    if (ok) {
        const int code = ope_encoder_drain(enc_);
        if (code != OPE_OK) {
            err = opusError("cannot encode the page's audio: ", code);
            ok = false;
        }
    }
    close();
    out = std::move(bytes_);
    bytes_.clear();
    return ok;
}

bool encodePageAudio(const float *interleaved, long frames, int channels, int sampleRate, int bitrate, std::string &out,
                     std::string &err) {
    out.clear();
    OpusStream s;
    if (!s.open(channels, sampleRate, bitrate, 1, err)) return false;
    std::string bytes;
    const bool ok = s.add(interleaved, frames, err) && s.finish(bytes, err);
    out = std::move(bytes);
    return ok;
}

std::string base64(const std::string &bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += {digits[v >> 18], digits[(v >> 12) & 63], digits[(v >> 6) & 63], digits[v & 63]};
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += {digits[v >> 18], digits[(v >> 12) & 63]};
        out += i + 1 < bytes.size() ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

}  // namespace korvane
