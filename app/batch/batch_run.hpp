// The jobs of a batch run as child processes of this same tool, so that one
// input's crash or lack of memory leaves the others running.
#pragma once

#include "batch/batch_inputs.hpp"

#include <string>
#include <vector>

namespace korvane {

struct BatchSettings {
    std::vector<std::string> forwarded;  // options every run is given
    int jobs = 1;                        // runs side by side
    bool quiet = false;
};

// Runs `korvane decompose OPTIONS -o DIR -- INPUT` for every job, at most
// settings.jobs at once, each on one thread of computation when several
// run. The children's messages are passed on whole, each headed with its
// input. Returns the inputs that failed, with their last message; a failed
// child's staging folders (and its output folder, when it made it and left
// it empty) are removed. SIGINT, SIGTERM and SIGHUP are passed to the
// children; once they have ended, stopped is the signal (else 0), for the
// caller to end with after cleaning up.
std::vector<BatchFailure> runBatchJobs(const std::vector<BatchJob> &jobs, const BatchSettings &settings, int &stopped);

}  // namespace korvane
