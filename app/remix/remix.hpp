// `korvane remix`: groups of an earlier decompose run's components made
// again from its record and its input, through the same level-true
// resynthesis, without factorising again.
#pragma once

#include "cli/command.hpp"

#include <string>
#include <vector>

namespace korvane {

struct RemixOptions {
    std::string dir;                  // the earlier run's folder (holding components.json)
    std::vector<std::string> groups;  // each --group, e.g. "1,3-4"
    std::string outDir;               // empty: dir itself
    std::string input;                // empty: the input the record names
    std::string format = "same";      // as decompose's --format
    bool quiet = false;
};

// Returns the process exit status: 0 done, 1 failed, 2 bad arguments.
int runRemix(const RemixOptions &opt);

// `korvane remix DIR --group LIST [--group LIST ...]`.
Command remixCommand();

}  // namespace korvane
