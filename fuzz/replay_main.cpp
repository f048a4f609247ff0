// Runs a fuzz target's entry point on every file of the folders (or files)
// named on the command line: the seed and regression corpora, without
// libFuzzer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace fs = std::filesystem;

int main(int argc, char **argv) {
    std::vector<fs::path> files;  // found before the target changes folder
    for (int i = 1; i < argc; ++i) {
        fs::path p = fs::absolute(argv[i]);
        if (fs::is_directory(p)) {
            for (const auto &e : fs::recursive_directory_iterator(p))
                if (e.is_regular_file()) files.push_back(e.path());
        } else if (fs::exists(p)) {
            files.push_back(p);
        } else {
            std::fprintf(stderr, "replay: no such input %s\n", argv[i]);
            return 2;
        }
    }
    std::sort(files.begin(), files.end());
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    for (const fs::path &f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replay: %s\n", f.string().c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    std::fprintf(stderr, "replay: %zu inputs, no failure\n", files.size());
    return 0;
}
