// The page's embedded sounds as bytes: base64 undone, and Ogg Vorbis compared
// apart from what differs between two encodings of the same samples: each
// stream's serial number (drawn by libsndfile) and the pages' checksums.
#pragma once

#include <string>

namespace kvtest {

inline std::string unbase64(const std::string &text) {
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (char ch : text) {
        int d = ch >= 'A' && ch <= 'Z'   ? ch - 'A'
                : ch >= 'a' && ch <= 'z' ? ch - 'a' + 26
                : ch >= '0' && ch <= '9' ? ch - '0' + 52
                : ch == '+'              ? 62
                : ch == '/'              ? 63
                                         : -1;
        if (d < 0) continue;
        v = (v << 6) | static_cast<unsigned>(d);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((v >> bits) & 0xFF);
        }
    }
    return out;
}

// The bytes with every page's serial number and checksum zeroed; empty when
// they are not a whole run of Ogg pages.
inline std::string oggWithoutSerials(std::string b) {
    size_t at = 0;
    while (at < b.size()) {
        if (b.size() - at < 27 || b.compare(at, 4, "OggS") != 0) return "";
        const size_t segments = static_cast<unsigned char>(b[at + 26]);
        if (b.size() - at < 27 + segments) return "";
        size_t body = 0;
        for (size_t i = 0; i < segments; ++i) body += static_cast<unsigned char>(b[at + 27 + i]);
        b.replace(at + 14, 4, 4, '\0');
        b.replace(at + 22, 4, 4, '\0');
        at += 27 + segments + body;
    }
    return at == b.size() ? b : "";
}

}  // namespace kvtest
