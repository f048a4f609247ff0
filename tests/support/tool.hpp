// Runs the korvane tool as a child process (on a pipe or a terminal), makes
// test sounds and scratch folders.
#pragma once

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

// A fresh empty folder, removed with its contents when the object goes.
class Scratch {
public:
    Scratch();
    ~Scratch();
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct Sound {
    int channels = 1;
    int rate = 22050;
    int format = 0;              // libsndfile major | subtype
    std::vector<float> samples;  // interleaved
    long frames() const { return static_cast<long>(samples.size()) / channels; }
};

// A deterministic test piece of the given length: a low and a high tone
// whose levels swing in turn twice a second; the channels mix them in
// different proportions. Samples stay below peak in magnitude.
Sound makeSound(int channels, int rate, double seconds, double peak);
bool writeSound(const std::string &path, const Sound &s, int format);
bool readSound(const std::string &path, Sound &s);
// Relative RMS difference over every sample of every channel; infinity when
// the sample counts differ.
double relativeError(const Sound &got, const Sound &want);

// Bare names of the entries of a folder, sorted; empty when it is missing.
std::vector<std::string> listDir(const std::string &dir);
bool exists(const std::string &path);
// A file's bytes, or "" when it cannot be read.
std::string readText(const std::string &path);

}  // namespace kvtest
