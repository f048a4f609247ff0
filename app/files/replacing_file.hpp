// A file written under a temporary name in its own folder and renamed over
// the target once complete: a failed write (a full disk) leaves the old file
// as it was and nothing half-written. Errors name the target, never the
// temporary name.
#pragma once

#include <cstdio>
#include <string>

namespace korvane {

class ReplacingFile {
public:
    ReplacingFile() = default;
    ReplacingFile(const ReplacingFile &) = delete;
    ReplacingFile &operator=(const ReplacingFile &) = delete;
    ~ReplacingFile();  // removes the temporary file unless committed

    // Creates the temporary file beside `path` (a symbolic link's target);
    // `kind` names what is written in messages ("sound file").
    bool open(const std::string &path, const std::string &kind, std::string &err);
    int fd() const { return fd_; }
    // A stdio stream on the file, made on first use.
    FILE *stream();
    // Flushes, syncs and closes the file, then renames it over the target.
    bool commit(std::string &err);
    // "cannot write KIND PATH: REASON", REASON from errno when it is set.
    std::string failure(const std::string &reason = "") const;

private:
    std::string kind_, target_, real_, temp_;
    int fd_ = -1;
    FILE *stream_ = nullptr;
};

}  // namespace korvane
