#include "files/file_url.hpp"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace korvane {

std::string fileUrl(const std::string &path) {
    std::string abs = path;
    if (abs.empty() || abs[0] != '/') {
        char *cwd = getcwd(nullptr, 0);
        if (cwd) abs = std::string(cwd) + "/" + path;
        std::free(cwd);
    }
    std::string url = "file://";
    for (unsigned char ch : abs) {
        if (std::isalnum(ch) || std::strchr("/-._~", ch)) {
            url += static_cast<char>(ch);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", ch);
            url += buf;
        }
    }
    return url;
}

}  // namespace korvane
