#include "support.hpp"

#include "maxhost.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#ifndef KV_PLUGIN_DIR
#error KV_PLUGIN_DIR names the folder of the built plug-ins
#endif

namespace kvfuzz {

namespace {

// kept apart from scratchDir's string, which may be gone when this runs
char scratchPath[64];

void removeScratch() {
    std::error_code ec;
    std::filesystem::remove_all(scratchPath, ec);
}

}  // namespace

const std::string &scratchDir() {
    static const std::string dir = [] {
        std::string tmpl = "/tmp/korvane-fuzz-XXXXXX";
        if (!mkdtemp(&tmpl[0]) || chdir(tmpl.c_str()) != 0) std::abort();
        std::snprintf(scratchPath, sizeof scratchPath, "%s", tmpl.c_str());
        std::atexit(removeScratch);
        return tmpl;
    }();
    return dir;
}

void quietHost() {
    scratchDir();
    maxhost::reset();
    // KV_FUZZ_CONSOLE=1 shows the console on stderr, to see what an input does
    static const bool shown = std::getenv("KV_FUZZ_CONSOLE") != nullptr;
    maxhost::setConsoleSink([](const maxhost::ConsoleLine &l) {
        if (shown) std::fprintf(stderr, "%s%s\n", l.error ? "error: " : "", l.text.c_str());
    });
    maxhost::setPluginPath({KV_PLUGIN_DIR});
    maxhost::setMemoryLimit(size_t(64) << 20);
}

std::string asFile(const uint8_t *data, size_t size, const char *name) {
    std::string path = scratchDir() + "/" + name;
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
    return path;
}

std::string asText(const uint8_t *data, size_t size) {
    std::string s(reinterpret_cast<const char *>(data), size);
    for (char &c : s)
        if (c != '\n' && (c < 32 || c > 126)) c = ' ';
    return s;
}

}  // namespace kvfuzz
