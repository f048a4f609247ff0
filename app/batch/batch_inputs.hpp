// The inputs of a batch: files and folders (searched recursively) turned
// into one job per sound, each with its own subfolder of the output folder.
#pragma once

#include <string>
#include <vector>

namespace korvane {

struct BatchJob {
    std::string input;   // the path the run reads
    std::string outDir;  // its own folder under the output folder
};

struct BatchFailure {
    std::string input;
    std::string message;
};

struct BatchPlan {
    std::vector<BatchJob> jobs;
    std::vector<BatchFailure> failures;  // inputs that cannot be searched
    int skipped = 0;                     // files in folders that are not sounds
};

// Files are taken as given; folders give every regular file libsndfile
// opens, hidden entries, symbolic links to folders, outRoot itself and
// folders holding a run's record left out, in sorted order. A file in them
// that looks like a sound (by its name or first bytes) and cannot be read is
// a failure. A file met twice is run once.
BatchPlan planBatch(const std::vector<std::string> &inputs, const std::string &outRoot);

// A sound's subfolder: its name with the extension's dot made a dash, so
// that loop.wav and loop.flac go to loop-wav/ and loop-flac/.
std::string subfolderName(const std::string &fileName);

// Why libsndfile does not open path as a sound; empty when it does.
std::string soundOpenError(const std::string &path);

// True when libsndfile opens path as a sound.
bool readsAsSound(const std::string &path);

}  // namespace korvane
