#include "files/sound_check.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

namespace korvane {

namespace {

// The first bytes of a regular file (never waits on a pipe).
std::string head(const std::string &path, size_t n, std::uint64_t *size = nullptr) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {};
    struct stat st;
    std::string bytes;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        bytes.resize(n);
        ssize_t got = read(fd, &bytes[0], n);
        bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
        if (size) *size = static_cast<std::uint64_t>(st.st_size);
    }
    close(fd);
    return bytes;
}

std::uint32_t le32(const std::string &b, size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

}  // namespace

bool looksLikeSound(const std::string &path) {
    static const char *const exts[] = {"wav", "wave", "aif", "aiff", "aifc", "flac", "ogg", "oga", "opus",
                                       "caf", "au",   "snd", "w64",  "rf64", "bwf",  "mp3", "sd2"};
    size_t dot = path.find_last_of("./");
    if (dot != std::string::npos && path[dot] == '.') {
        std::string ext = path.substr(dot + 1);
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
        for (const char *e : exts)
            if (ext == e) return true;
    }
    const std::string b = head(path, 4);
    static const char *const magic[] = {"RIFF", "RIFX", "RF64", "FORM", "fLaC", "OggS", ".snd", "caff"};
    for (const char *m : magic)
        if (b.size() == 4 && b == m) return true;
    return false;
}

std::string wavCutShort(const std::string &path) {
    std::uint64_t size = 0;
    const std::string b = head(path, 4096, &size);
    if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0) return {};
    for (size_t at = 12; at + 8 <= b.size();) {
        const std::uint32_t len = le32(b, at + 4);
        if (b.compare(at, 4, "data") == 0) {
            const std::uint64_t start = at + 8, present = size > start ? size - start : 0;
            if (len == 0 || len == 0xffffffffu || present >= len) return {};
            return "'" + path + "' is cut short: its data chunk claims " + std::to_string(len) +
                   " bytes and the file holds " + std::to_string(present) + "; the part there is is decomposed";
        }
        at += 8 + static_cast<size_t>(len) + (len & 1);
    }
    return {};
}

}  // namespace korvane
