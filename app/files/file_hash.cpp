#include "files/file_hash.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace korvane {

bool fingerprintFile(const std::string &path, FileFingerprint &fp, std::string &err) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        err = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::uint64_t h = 0xcbf29ce484222325ull, size = 0;
    std::vector<unsigned char> buf(1 << 16);
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) {
        for (size_t i = 0; i < n; ++i) h = (h ^ buf[i]) * 0x100000001b3ull;
        size += n;
    }
    bool ok = !std::ferror(f);
    std::fclose(f);
    if (!ok) {
        err = "cannot read '" + path + "'";
        return false;
    }
    fp.size = size;
    fp.hash = h;
    return true;
}

std::string hashText(std::uint64_t hash) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

}  // namespace korvane
