#include "run/plugin_dirs.hpp"

#include "maxhost.hpp"

#include <cstdlib>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef KV_PLUGIN_RELDIR
#define KV_PLUGIN_RELDIR "../lib/korvane/plugins"
#endif

namespace korvane {

namespace {

std::vector<std::string> splitPath(const std::string &s) {
    std::vector<std::string> dirs;
    size_t start = 0;
    for (;;) {
        size_t colon = s.find(':', start);
        std::string part = s.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!part.empty()) dirs.push_back(part);
        if (colon == std::string::npos) return dirs;
        start = colon + 1;
    }
}

std::string executableDir() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

std::vector<std::string> pluginDirs(const std::string &option) {
    if (!option.empty()) return splitPath(option);
    const char *env = std::getenv("KORVANE_PLUGIN_PATH");
    if (env && *env) return splitPath(env);
    const std::string exe = executableDir();
    const std::vector<std::string> beside = {exe + "/plugins", exe + "/" KV_PLUGIN_RELDIR};
    for (const std::string &dir : beside) {
        struct stat st;
        if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {dir};
    }
    return beside;
}

std::string withPluginSearch(const std::string &err) {
    if (err.rfind("no class or plug-in named ", 0) != 0) return err;
    std::string dirs;
    for (const std::string &d : maxhost::pluginPath()) dirs += (dirs.empty() ? "" : ":") + d;
    return err + " (searched " + (dirs.empty() ? "no folders" : dirs) +
           "; --plugins DIRS or $KORVANE_PLUGIN_PATH sets the folders)";
}

}  // namespace korvane
