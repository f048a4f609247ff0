// Bases of earlier runs (--bases A/components.json,...): read from their
// components.json, checked against this run's analysis, put into W.
#pragma once

#include <string>
#include <vector>

#include "decompose/decompose.hpp"

namespace korvane {

struct Run;

// One components.json given with --bases: what its analysis was.
struct BasesFile {
    std::string path;  // as given
    long sampleRate = 0;
    long window = 0;  // samples; an older record's window was its FFT size
    long fftSize = 0, bins = 0, rows = 0;
    std::string channelMode;  // "sum" or "stack"
};

// One given component: where it came from and its W column, one value per
// analysis row, as the earlier run held it.
struct GivenBasis {
    size_t file = 0;  // into GivenBases::files
    int number = 0;   // its number in that file, from 1
    std::vector<double> rows;
};

struct GivenBases {
    std::vector<BasesFile> files;
    std::vector<GivenBasis> bases;
};

// Reads opt.bases into opt.given and settles K: given + --extra, a -k that
// says otherwise refused. Returns 0, or the exit status (message shown):
// 2 for options that do not fit together, 1 for a file that cannot be used.
int resolveBases(DecomposeOptions &opt);

// 0 when every given file's analysis matches this run's (sample rate,
// window, FFT size, bins, rows of V; a mono record's rows serve each channel of a
// stacked run), else 1 with both values named.
int checkGivenBases(const Run &run);

// Columns [0, given) of run.W from the given bases.
void putGivenBases(Run &run);

// How many of the run's components were given (they come first).
int givenCount(const DecomposeOptions &opt);

}  // namespace korvane
