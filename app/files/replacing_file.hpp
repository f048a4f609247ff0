// One file the user named (`korvane run`'s write, a trace), written through
// a StagedSet of its folder and renamed over the target once complete: a
// failed write (a full disk) leaves the old file as it was and nothing
// half-written. Errors name the target, never the staged name.
#pragma once

#include "files/staged_set.hpp"

#include <cstdio>
#include <memory>
#include <string>

namespace korvane {

class ReplacingFile {
public:
    ReplacingFile() = default;
    ReplacingFile(const ReplacingFile &) = delete;
    ReplacingFile &operator=(const ReplacingFile &) = delete;
    ~ReplacingFile();  // removes the staged file unless committed

    // Stages the file beside `path` (a symbolic link's target); `kind` names
    // what is written in messages ("sound file").
    bool open(const std::string &path, const std::string &kind, std::string &err);
    int fd() const { return fd_; }
    // A stdio stream on the file, made on first use.
    FILE *stream();
    // Flushes and closes the file, then the set syncs and renames it.
    bool commit(std::string &err);
    // "cannot write KIND PATH: REASON", REASON from errno when it is set.
    std::string failure(const std::string &reason = "") const;

private:
    void closeFile();
    std::string kind_, target_;
    std::unique_ptr<StagedSet> set_;
    int fd_ = -1;
    FILE *stream_ = nullptr;
};

}  // namespace korvane
