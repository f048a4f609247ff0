// `korvane decompose`: a sound file in, its components out, through the
// engine (kv_engine/) that korvane~ is built on.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

constexpr int kMaxComponents = 64;

struct GivenBases;

struct DecomposeOptions {
    std::string input;                // the file read: for "-", a copy of standard input
    bool fromStdin = false;           // the input was given as "-"
    std::vector<std::string> inputs;  // as given: files and folders (see batch.hpp)
    int jobs = 0;                     // inputs run side by side; 0: one per core
    int components = 4;
    std::optional<double> win;        // seconds (kept in single precision, as setWin does)
    std::optional<double> hop;        // fraction of the window (likewise, as setHop)
    std::optional<long> fft;          // FFT size: a power of two at or above the window; none: the next
    std::string outDir;               // empty: a folder named after the input
    std::string only;                 // e.g. "1,3-4"; empty: all
    std::vector<std::string> groups;  // each --group: components mixed into one extra file
    bool plot = false;
    bool page = false;  // also index.html, the listening page
    std::optional<unsigned> seed;
    std::string start = "nndsvda";  // or "random"
    std::optional<int> iterations;  // most rounds; none: the model's (kve_defaultRounds)
    double tol = 1e-4;              // relative gain of the divergence over 10 rounds; 0: none
    std::string channels;           // "sum" or "stack"; empty: stack for stereo
    std::string format = "same";    // or pcm16, pcm24, float, flac
    bool quiet = false;
    bool verbose = false;            // show each step's console line
    bool componentsSet = false;      // -k was given
    std::vector<std::string> bases;  // components.json files whose bases come first
    bool fixBases = false;           // learn only the activations of the given bases
    int extra = 0;                   // free components beside the given ones
    // the model; each unset one is the engine's default (with --plain, plain NMF's)
    std::optional<std::string> cost;            // "kl", "euclidean" or "is"
    std::optional<double> beta;                 // any β-divergence; overrides cost
    std::optional<double> l1W, l1H, l2W, l2H;   // penalties on W and H
    std::optional<double> continuity;           // temporal continuity of H
    std::optional<int> span;                    // frames of each basis (convolutive above 1)
    std::optional<int> pool;                    // components factorised and grouped into -k; 0: none
    std::optional<double> relax;                // over-relaxed rounds, 1 to 2; 1: none
    std::optional<double> bands;                // Hz: the first rounds on bands above twice this; 0: none
    std::optional<std::string> channelSpectra;  // "shared" (a gain per channel) or "own"
    std::optional<std::string> filter;          // "spatial" (two stacked channels) or "masks"
    bool plain = false;                         // plain NMF unless a model option says otherwise
    std::string precision = "single";           // or "double": what the rounds keep W and H in
    std::string order = "centroid";             // or "peak", "energy", "onset"
    std::shared_ptr<const GivenBases> given;    // read from `bases` (resolveBases)
};

// What a successful run made, for callers that report on it.
struct DecomposeReport {
    std::string outDir;
    std::vector<std::string> files;  // bare names, in writing order
    double factorSeconds = 0;        // the factorisation
    double resynthSeconds = 0;       // every resynthesis and write, together
};

// The input as messages and the record name it: "-" for standard input.
std::string shownInput(const DecomposeOptions &opt);

// Returns the process exit status: 0 done, 1 failed, 2 bad arguments.
int runDecompose(const DecomposeOptions &opt, DecomposeReport *report = nullptr);

}  // namespace korvane
