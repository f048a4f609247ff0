// Output files of a run: each is written under a hidden temporary name in
// its folder and renamed into place only when the whole run has succeeded,
// so a failed or interrupted run leaves no half-written file behind.
#pragma once

#include "files/sample_format.hpp"
#include "files/sound_reader.hpp"

#include <string>
#include <vector>

namespace korvane {

class OutputSet {
public:
    // dir is created when missing (and removed again if the run fails).
    explicit OutputSet(std::string dir);
    ~OutputSet();  // discards whatever was not committed
    OutputSet(const OutputSet &) = delete;
    OutputSet &operator=(const OutputSet &) = delete;

    // Makes the folder; false and err on failure.
    bool prepare(std::string &err);
    // A fresh temporary path for the file finalName (a bare name in dir).
    std::string stage(const std::string &finalName);
    // Renames every staged file into place; false and err on failure, in
    // which case the staged files that remain are removed.
    bool commit(std::string &err);
    // Removes every staged file (and the folder if this run made it).
    void discard();
    // Files of an earlier run in dir (bare names): those this run does not
    // write are removed once commit has put every new file in place. Names
    // with a path, and anything but regular files, are left alone.
    void replacePrevious(std::vector<std::string> names) { previous_ = std::move(names); }

    const std::string &dir() const { return dir_; }
    std::string finalPath(const std::string &name) const;

    // The path a user knows a file by: a staged temporary's final path,
    // anything else as it is. Messages about a file name this.
    static std::string shownPath(const std::string &path);

    // SIGINT, SIGTERM and SIGHUP remove the staged files before the process
    // ends with the signal.
    static void installSignalCleanup();

private:
    struct Staged {
        std::string temp, name;
        int slot;
    };
    std::string dir_;
    bool madeDir_ = false;
    int dirSlot_ = -1;
    std::vector<Staged> staged_;
    std::vector<std::string> previous_;
    void removeStale(const std::vector<std::string> &written);
};

// Writes frames of interleaved samples as a sound file of the format.
bool writeSound(const std::string &path, const float *interleaved, long frames, int channels, int sampleRate,
                SampleFormat format, std::string &err);

}  // namespace korvane
