// Fuzz target: `decompose`'s option values. Each input line is one word
// after `korvane decompose IN`; the input sound and output folder are fixed. Every word is also read as a list of
// components.
#include "support.hpp"

#include "batch/decompose_command.hpp"
#include "cli/command.hpp"
#include "cli/component_list.hpp"
#include "decompose/decompose.hpp"
#include "maxhost.hpp"
#include "seed_sounds.hpp"

#include <filesystem>
#include <sstream>
#include <vector>

namespace {

std::string input;

// Words that would move the output or the plug-ins, or name another input
// (".." alone makes a search of the whole scratch folder's parent).
bool fixedByHarness(const std::string &w) {
    std::error_code ec;
    return w.rfind("-o", 0) == 0 || w.rfind("--out", 0) == 0 || w.rfind("--plugins", 0) == 0 ||
           w.find('/') != std::string::npos || std::filesystem::exists(w, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kvfuzz::quietHost();
    input = kvfuzz::writeDecomposeInput(kvfuzz::scratchDir());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kvfuzz::quietHost();
    std::vector<std::string> words = {"korvane", "decompose", input, "-o", "out", "-q"};
    std::istringstream lines(kvfuzz::asText(data, size));
    std::vector<int> picked;
    std::string err;
    for (std::string w; std::getline(lines, w) && words.size() < 40;) {
        korvane::parseComponentList(w, 1 + static_cast<int>(size % 64), picked, err);
        if (!fixedByHarness(w)) words.push_back(w);
    }
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    CLI::App app;
    korvane::Commands commands(app);
    commands.add(korvane::decomposeCommand());
    commands.main(static_cast<int>(argv.size()), argv.data());
    maxhost::reset();
    return 0;
}
