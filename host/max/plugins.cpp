// Loading plug-ins: CLASS.so from the search folders, entry point ext_main or main.
#include "host_internal.hpp"

#include <dlfcn.h>
#include <sys/stat.h>

using namespace maxhost::detail;

namespace {

bool fileExists(const std::string &p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

namespace maxhost {

namespace detail {
void *loadingPlugin() {
    return state().registry.loadingPlugin;
}
}  // namespace detail

void setPluginPath(const std::vector<std::string> &dirs) {
    state().registry.searchPath = dirs;
}

std::vector<std::string> pluginPath() {
    return state().registry.searchPath;
}

bool loadClass(const std::string &name, std::string &err) {
    Registry &reg = state().registry;
    if (reg.box.count(name)) return true;
    std::string file;
    for (const std::string &dir : reg.searchPath) {
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
    reg.loadingPlugin = handle;
    if (extMain)
        reinterpret_cast<void (*)(void *)>(entry)(nullptr);
    else
        reinterpret_cast<int (*)(void)>(entry)();
    reg.loadingPlugin = nullptr;
    if (!reg.box.count(name)) {
        err = "plug-in " + file + " did not register class " + name;
        return false;
    }
    return true;
}

void *pluginSymbol(const std::string &className, const std::string &symbol) {
    const Registry &reg = state().registry;
    auto it = reg.box.find(className);
    if (it == reg.box.end() || !it->second->plugin) return nullptr;
    return dlsym(it->second->plugin, symbol.c_str());
}

}  // namespace maxhost
