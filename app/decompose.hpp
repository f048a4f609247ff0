// `korvane decompose`: a sound file in, its components out, by driving the
// korvane~ plug-in through the stand-in host as a patch would.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "command.hpp"

namespace korvane {

constexpr int kMaxComponents = 64;

struct DecomposeOptions {
    std::string input;
    int components = 4;
    std::optional<double> win;        // seconds, sent as "setWin"
    std::optional<double> hop;        // fraction of the window, sent as "setHop"
    std::string outDir;               // empty: a folder named after the input
    std::string only;                 // e.g. "1,3-4"; empty: all
    std::string group;                // components mixed into one extra file
    bool plot = false;
    bool page = false;                // also index.html, the listening page
    std::optional<unsigned> seed;
    std::string format = "pcm16";     // or "float"
    bool quiet = false;
    bool verbose = false;
    std::string plugins;              // plug-in folders; empty: the default
};

// What a successful run made, for callers that report on it.
struct DecomposeReport {
    std::string outDir;
    std::vector<std::string> files;   // bare names, in writing order
    double factorSeconds = 0;         // "decomp" from send to the last list
    double resynthSeconds = 0;        // every bang, together
};

// Returns the process exit status: 0 done, 1 failed, 2 bad arguments.
int runDecompose(const DecomposeOptions &opt, DecomposeReport *report = nullptr);

// Parses "1,3,5-7" into component numbers within 1..K (sorted, unique).
bool parseComponentList(const std::string &text, int K, std::vector<int> &out, std::string &err);

// `korvane decompose IN [options]`.
Command decomposeCommand();

}  // namespace korvane
