#include "files/name_bytes.hpp"

namespace korvane {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// false for anything but pairs of lower-case hex digits
bool fromHex(const std::string &hex, std::string &out) {
    if (hex.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hexDigit(hex[i]), lo = hexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

}  // namespace

bool isUtf8(const std::string &s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 4;
        if (n == 4 || n > s.size() - 1 - i) return false;
        unsigned long cp = n == 0 ? c : c & (0x3F >> n);
        for (size_t k = 1; k <= n; ++k) {
            const unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t >> 6) != 0x2) return false;
            cp = cp << 6 | (t & 0x3F);
        }
        // shortest form only, no surrogates, nothing past U+10FFFF
        static const unsigned long least[] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
        i += n + 1;
    }
    return true;
}

void putName(nlohmann::ordered_json &j, const std::string &key, const std::string &name) {
    j[key] = name;
    if (isUtf8(name)) return;
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : name) hex += {digits[c >> 4], digits[c & 15]};
    j[key + "_hex"] = hex;
}

std::string recordedName(const nlohmann::ordered_json &j, const std::string &key) {
    const std::string hexKey = key + "_hex";
    std::string bytes;
    if (j.contains(hexKey) && j[hexKey].is_string() && fromHex(j[hexKey].get<std::string>(), bytes)) return bytes;
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string();
}

}  // namespace korvane
