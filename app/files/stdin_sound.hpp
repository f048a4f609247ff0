// `korvane decompose -`: a sound read from standard input. It is copied
// into an unnamed temporary file (in $TMPDIR, else /tmp) that the reading
// code opens by a path like any input; the file has no name to leave
// behind, however the run ends.
#pragma once

#include <string>

namespace korvane {

// The input name that means standard input, and what the run is named by.
constexpr const char *kStdinName = "-";
constexpr const char *kStdinStem = "stdin";

class StdinSound {
public:
    StdinSound() = default;
    ~StdinSound();
    StdinSound(const StdinSound &) = delete;
    StdinSound &operator=(const StdinSound &) = delete;

    // Copies standard input to its end; false and err when it is a terminal
    // or cannot be read or kept.
    bool take(std::string &err);
    // The copy as a path to open (valid while this object lives).
    const std::string &path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

// err with every mention of the copy's path replaced by "standard input".
std::string stdinWording(std::string err, const std::string &path);

}  // namespace korvane
