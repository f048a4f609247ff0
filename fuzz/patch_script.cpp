// Fuzz target: any text as a patch script, run with the plug-ins loaded.
// Paths stay inside the scratch folder: '/' is taken as '_'.
#include "support.hpp"

#include "maxhost.hpp"
#include "run/patch_script.hpp"
#include "seed_sounds.hpp"

#include <cstdlib>
#include <sstream>

namespace {

// `send k 0 int 63333` asks korvane~ for 63333 components: minutes of
// honest work, not a finding. Numbers sent as int or float stay at most 64.
bool quick(const std::string &text) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string verb, id, inlet, sel, value;
        in >> verb >> id >> inlet >> sel >> value;
        if ((verb == "send" || verb == "sched") && (sel == "int" || sel == "float") &&
            std::strtod(value.c_str(), nullptr) > 64)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kvfuzz::quietHost();
    kvfuzz::writeScriptSounds(kvfuzz::scratchDir());
    std::string err;
    maxhost::loadClass("korvane~", err);
    maxhost::loadClass("kv_lsProd", err);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kvfuzz::quietHost();
    maxhost::setMemoryLimit(size_t(1) << 20);  // a decomposition stays quick
    std::string text = kvfuzz::asText(data, size);
    for (char &c : text)
        if (c == '/') c = '_';
    if (!quick(text)) return 0;
    std::istringstream in(text);
    std::ostringstream errors;
    korvane::runScript(in, "fuzz", errors);
    maxhost::reset();
    return 0;
}
