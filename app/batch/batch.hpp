// `korvane decompose` over many inputs: one plain file is decomposed here
// as before; several inputs, or any folder, become a batch whose inputs each
// get their own subfolder of the output folder and their own run.
#pragma once

#include "decompose/decompose.hpp"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace korvane {

// The output folder of a batch when -o is not given.
constexpr const char *kBatchOutDir = "korvane-out";

// Runs the inputs of opt.inputs; returns the exit status: 0 when every input
// succeeded, 1 when any failed, 2 for options that cannot be taken.
int runDecomposeInputs(DecomposeOptions &opt, const std::vector<std::string> &forwarded);

// The options given to cmd, as arguments to pass on to each input's run:
// every one but the inputs, -o and --jobs.
std::vector<std::string> forwardedOptions(const CLI::App &cmd);

// The number of processors this process may run on.
int processorCount();

}  // namespace korvane
