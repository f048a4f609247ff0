// `korvane decompose`: a sound file in, its components out, through the
// engine (kv_engine/) that korvane~ is built on.
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
    std::optional<double> win;        // seconds (kept in single precision, as setWin does)
    std::optional<double> hop;        // fraction of the window (likewise, as setHop)
    std::string outDir;               // empty: a folder named after the input
    std::string only;                 // e.g. "1,3-4"; empty: all
    std::vector<std::string> groups;  // each --group: components mixed into one extra file
    bool plot = false;
    bool page = false;                // also index.html, the listening page
    std::optional<unsigned> seed;
    std::string start = "nndsvda";    // or "random"
    int iterations = 200;
    double tol = 1e-4;                // relative gain of the divergence over 10 rounds; 0: none
    std::string channels;             // "sum" or "stack"; empty: stack for stereo
    std::string format = "same";      // or pcm16, pcm24, float, flac
    bool quiet = false;
    bool verbose = false;             // show each step's console line
};

// What a successful run made, for callers that report on it.
struct DecomposeReport {
    std::string outDir;
    std::vector<std::string> files;   // bare names, in writing order
    double factorSeconds = 0;         // the factorisation
    double resynthSeconds = 0;        // every resynthesis and write, together
};

// Returns the process exit status: 0 done, 1 failed, 2 bad arguments.
int runDecompose(const DecomposeOptions &opt, DecomposeReport *report = nullptr);



// `korvane decompose IN [options]`.
Command decomposeCommand();

}  // namespace korvane
