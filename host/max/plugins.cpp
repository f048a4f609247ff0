// Loading plug-ins: CLASS.so from the search folders, entry point ext_main or main.
#include "host_internal.hpp"

#include <dlfcn.h>
#include <sys/stat.h>

using namespace maxhost::detail;

namespace {

std::vector<std::string> searchPath;
void *currentPlugin = nullptr;

bool fileExists(const std::string &p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

namespace maxhost {

namespace detail {
void *loadingPlugin() { return currentPlugin; }
}  // namespace detail

void setPluginPath(const std::vector<std::string> &dirs) { searchPath = dirs; }

std::vector<std::string> pluginPath() { return searchPath; }

bool loadClass(const std::string &name, std::string &err) {
    State &st = state();
    if (st.box.count(name)) return true;
    std::string file;
    for (const std::string &dir : searchPath) {
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name + ".so";
        if (fileExists(candidate)) {
            file = candidate;
            break;
        }
    }
    if (file.empty()) {
        err = "no class or plug-in named " + name;
        return false;
    }
    // The plug-in takes the host's functions from the global scope.
    void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *e = dlerror();
        err = "cannot load plug-in " + file + ": " + (e ? e : "unknown error");
        return false;
    }
    void *entry = dlsym(handle, "ext_main");
    bool extMain = entry != nullptr;
    if (!entry) entry = dlsym(handle, "main");
    if (!entry) {
        err = "plug-in " + file + " has no entry point";
        dlclose(handle);
        return false;
    }
    // Plug-ins stay loaded for the life of the process, as classes point into them.
    currentPlugin = handle;
    if (extMain)
        reinterpret_cast<void (*)(void *)>(entry)(nullptr);
    else
        reinterpret_cast<int (*)(void)>(entry)();
    currentPlugin = nullptr;
    if (!st.box.count(name)) {
        err = "plug-in " + file + " did not register class " + name;
        return false;
    }
    return true;
}

void *pluginSymbol(const std::string &className, const std::string &symbol) {
    auto it = state().box.find(className);
    if (it == state().box.end() || !it->second->plugin) return nullptr;
    return dlsym(it->second->plugin, symbol.c_str());
}

}  // namespace maxhost
