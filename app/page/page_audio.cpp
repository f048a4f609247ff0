// Ogg Vorbis in memory through libsndfile's virtual I/O.
#include "page/page.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace korvane {

namespace {

struct MemoryFile {
    std::string *bytes;
    sf_count_t pos = 0;
};

sf_count_t memLength(void *user) {
    return static_cast<sf_count_t>(static_cast<MemoryFile *>(user)->bytes->size());
}

sf_count_t memSeek(sf_count_t offset, int whence, void *user) {
    auto *m = static_cast<MemoryFile *>(user);
    sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->pos : static_cast<sf_count_t>(m->bytes->size());
    if (base + offset < 0) return -1;
    m->pos = base + offset;
    return m->pos;
}

sf_count_t memRead(void *to, sf_count_t count, void *user) {
    auto *m = static_cast<MemoryFile *>(user);
    sf_count_t size = static_cast<sf_count_t>(m->bytes->size());
    sf_count_t n = std::max<sf_count_t>(0, std::min(count, size - m->pos));
    if (n > 0) std::memcpy(to, m->bytes->data() + m->pos, static_cast<size_t>(n));
    m->pos += n;
    return n;
}

sf_count_t memWrite(const void *from, sf_count_t count, void *user) {
    auto *m = static_cast<MemoryFile *>(user);
    size_t end = static_cast<size_t>(m->pos + count);
    if (end > m->bytes->size()) m->bytes->resize(end);
    std::memcpy(&(*m->bytes)[static_cast<size_t>(m->pos)], from, static_cast<size_t>(count));
    m->pos += count;
    return count;
}

sf_count_t memTell(void *user) {
    return static_cast<MemoryFile *>(user)->pos;
}

}  // namespace

double pageAudioQuality(int streams, double seconds) {
    double streamSeconds = streams * seconds;
    if (streamSeconds <= 900) return 0.3;
    if (streamSeconds <= 3000) return 0.2;
    if (streamSeconds <= 12000) return 0.1;
    return 0.0;
}

bool encodePageAudio(const float *interleaved, long frames, int channels, int sampleRate, double quality,
                     std::string &out, std::string &err) {
    out.clear();
    MemoryFile mem{&out};
    SF_VIRTUAL_IO io{memLength, memSeek, memRead, memWrite, memTell};
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    SNDFILE *f = sf_open_virtual(&io, SFM_WRITE, &info, &mem);
    if (!f) {
        err = std::string("cannot encode the page's audio as Ogg Vorbis: ") + sf_strerror(nullptr);
        return false;
    }
    sf_command(f, SFC_SET_VBR_ENCODING_QUALITY, &quality, sizeof quality);
    // libvorbis is handed the samples a block at a time: one call with a
    // whole long sound crashes inside its analysis buffer
    const long block = 4096;
    bool ok = true;
    for (long at = 0; at < frames && ok; at += block) {
        sf_count_t n = std::min(block, frames - at);
        ok = sf_writef_float(f, interleaved + static_cast<size_t>(at) * channels, n) == n;
    }
    const std::vector<float> silence(static_cast<size_t>(kPagePadFrames) * channels, 0.0f);
    if (ok) ok = sf_writef_float(f, silence.data(), kPagePadFrames) == kPagePadFrames;
    if (!ok) err = std::string("cannot encode the page's audio: ") + sf_strerror(f);
    sf_close(f);
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
