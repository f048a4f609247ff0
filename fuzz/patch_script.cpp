// Fuzz target: any text as a patch script, run with the plug-ins loaded.
// Paths stay inside the scratch folder: '/' is taken as '_'.
#include "support.hpp"

#include "maxhost.hpp"
#include "patch_script.hpp"
#include "seed_sounds.hpp"

#include <sstream>

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
    maxhost::setMemoryLimit(size_t(1) << 20);   // a decomposition stays quick
    std::string text = kvfuzz::asText(data, size);
    for (char &c : text)
        if (c == '/') c = '_';
    std::istringstream in(text);
    std::ostringstream errors;
    korvane::runScript(in, "fuzz", errors);
    maxhost::reset();
    return 0;
}
