// Ogg Vorbis in memory through libsndfile's virtual I/O.
#include "page/page.hpp"
#include "page/page_encoder.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace korvane {

namespace {

using Memory = VorbisStream::Memory;

sf_count_t memLength(void *user) {
    return static_cast<sf_count_t>(static_cast<Memory *>(user)->bytes.size());
}

sf_count_t memSeek(sf_count_t offset, int whence, void *user) {
    auto *m = static_cast<Memory *>(user);
    sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->pos : static_cast<sf_count_t>(m->bytes.size());
    if (base + offset < 0) return -1;
    m->pos = base + offset;
    return m->pos;
}

sf_count_t memRead(void *to, sf_count_t count, void *user) {
    auto *m = static_cast<Memory *>(user);
    sf_count_t size = static_cast<sf_count_t>(m->bytes.size());
    sf_count_t n = std::max<sf_count_t>(0, std::min(count, size - m->pos));
    if (n > 0) std::memcpy(to, m->bytes.data() + m->pos, static_cast<size_t>(n));
    m->pos += n;
    return n;
}

sf_count_t memWrite(const void *from, sf_count_t count, void *user) {
    auto *m = static_cast<Memory *>(user);
    size_t end = static_cast<size_t>(m->pos + count);
    if (end > m->bytes.size()) m->bytes.resize(end);
    std::memcpy(&m->bytes[static_cast<size_t>(m->pos)], from, static_cast<size_t>(count));
    m->pos += count;
    return count;
}

sf_count_t memTell(void *user) {
    return static_cast<Memory *>(user)->pos;
}

// libvorbis is handed the samples a block at a time: one call with a whole
// long sound crashes inside its analysis buffer
constexpr long kBlock = 4096;

}  // namespace

double pageAudioQuality(int streams, double seconds) {
    double streamSeconds = streams * seconds;
    if (streamSeconds <= 900) return 0.3;
    if (streamSeconds <= 3000) return 0.2;
    if (streamSeconds <= 12000) return 0.1;
    return 0.0;
}

VorbisStream::~VorbisStream() {
    if (f_) sf_close(f_);
}

bool VorbisStream::open(int channels, int sampleRate, double quality, std::string &err) {
    if (f_) sf_close(f_);
    f_ = nullptr;
    mem_ = Memory{};
    pending_.clear();
    channels_ = channels;
    SF_VIRTUAL_IO io{memLength, memSeek, memRead, memWrite, memTell};
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    f_ = sf_open_virtual(&io, SFM_WRITE, &info, &mem_);
    if (!f_) {
        err = std::string("cannot encode the page's audio as Ogg Vorbis: ") + sf_strerror(nullptr);
        return false;
    }
    sf_command(f_, SFC_SET_VBR_ENCODING_QUALITY, &quality, sizeof quality);
    return true;
}

bool VorbisStream::put(const float *interleaved, long frames, std::string &err) {
    if (sf_writef_float(f_, interleaved, frames) == frames) return true;
    err = std::string("cannot encode the page's audio: ") + sf_strerror(f_);
    return false;
}

bool VorbisStream::add(const float *interleaved, long frames, std::string &err) {
    if (!f_) {
        err = "cannot encode the page's audio: the stream is not open";
        return false;
    }
    const size_t ch = static_cast<size_t>(channels_), block = static_cast<size_t>(kBlock) * ch;
    long at = 0;
    if (!pending_.empty()) {  // the held block filled up first
        const long room = kBlock - static_cast<long>(pending_.size() / ch), n = std::min(room, frames);
        pending_.insert(pending_.end(), interleaved, interleaved + static_cast<size_t>(n) * ch);
        at = n;
        if (pending_.size() < block) return true;
        if (!put(pending_.data(), kBlock, err)) return false;
        pending_.clear();
    }
    for (; frames - at >= kBlock; at += kBlock)
        if (!put(interleaved + static_cast<size_t>(at) * ch, kBlock, err)) return false;
    pending_.assign(interleaved + static_cast<size_t>(at) * ch, interleaved + static_cast<size_t>(frames) * ch);
    return true;
}

bool VorbisStream::finish(std::string &out, std::string &err) {
    if (!f_) {
        err = "cannot encode the page's audio: the stream is not open";
        return false;
    }
    const long rest = static_cast<long>(pending_.size()) / channels_;
    bool ok = rest == 0 || put(pending_.data(), rest, err);
    const std::vector<float> silence(static_cast<size_t>(kPagePadFrames) * channels_, 0.0f);
    if (ok) ok = put(silence.data(), kPagePadFrames, err);
    sf_close(f_);
    f_ = nullptr;
    pending_.clear();
    out = std::move(mem_.bytes);
    mem_ = Memory{};
    return ok;
}

bool encodePageAudio(const float *interleaved, long frames, int channels, int sampleRate, double quality,
                     std::string &out, std::string &err) {
    out.clear();
    VorbisStream s;
    if (!s.open(channels, sampleRate, quality, err)) return false;
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
