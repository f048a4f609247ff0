// Runs the korvane tool as a child process (on a pipe or a terminal). Its
// tests work in a scratch folder on test sounds, so the kit comes with it.
#pragma once

#include "scratch.hpp"
#include "sound_files.hpp"

#include <string>
#include <vector>

namespace kvtest {

struct Result {
    int exitCode = -1;      // when it exited
    int signal = 0;         // when a signal ended it
    bool timedOut = false;  // killed for running past its time (runToolLimited)
    std::string out, err;
};

// Runs `korvane ARGS` in dir with standard input closed and its output
// captured (standard error is not a terminal).
Result runTool(const std::vector<std::string> &args, const std::string &dir);

// runTool under an address-space limit (setrlimit RLIMIT_AS), killed when it
// has not ended after `seconds`.
Result runToolLimited(const std::vector<std::string> &args, const std::string &dir,
                      double addressBytes, int seconds);

// The same with standard error on a pseudo-terminal; standard output is
// captured apart. When stopAfter is not empty, SIGINT is sent as soon as the
// terminal output contains it.
Result runToolOnTerminal(const std::vector<std::string> &args, const std::string &dir,
                         const std::string &stopAfter = "");

}  // namespace kvtest
