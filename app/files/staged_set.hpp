// The one way the tool writes files: every file of a run is made in a hidden
// staging folder of its output folder (mkdtemp, so its name cannot be
// guessed; each file created O_EXCL | O_NOFOLLOW), synced, and the set is
// renamed into place at the end with the stop signals held back: the files
// first, the record last. A rename that fails puts back what the set had
// replaced, so an old record never sits beside new files or the reverse.
// What remains: the process killed outright (SIGKILL, power lost) between
// the first rename and the last leaves some new files beside the old record;
// its sizes and times do not match them, so no later run trusts it with them.
//
// A file in the way is replaced only when a record this tool wrote in the
// folder lists it as it still is (tool_record.hpp), when it holds the very
// bytes being written, or when the caller named that file itself (Named).
// A protected file (the run's input) is never replaced or removed.
#pragma once

#include "files/tool_record.hpp"

#include <sys/types.h>

#include <functional>
#include <thread>
#include <string>
#include <vector>

namespace korvane {

class StagedSet {
public:
    enum class Policy {
        OwnFiles,  // replace only what a record of this tool vouches for
        Named,     // the user named each file to write: replace it
    };
    explicit StagedSet(std::string dir, Policy policy = Policy::OwnFiles);
    ~StagedSet();  // discards whatever was not committed
    StagedSet(const StagedSet &) = delete;
    StagedSet &operator=(const StagedSet &) = delete;

    // Makes dir when missing (removed again unless committed; with Named it
    // must be there) and the staging folder in it; false and err on failure.
    bool prepare(std::string &err);
    // Creates the staged file of `name` (a bare name) and returns its path,
    // for a writer to open again. A failure shows at commit.
    std::string stage(const std::string &name);
    // The same, open for writing; -1 and err on failure. The caller closes it
    // before commit.
    int stageOpen(const std::string &name, std::string &err);
    // The record of the set: renamed last. Files that the record of the same
    // name already in dir lists as written, that this set does not write,
    // that are still as written and that ownsName accepts are removed once
    // the set is in place.
    void setRecord(const std::string &name, std::function<bool(const std::string &)> ownsName);
    // Never replaced or removed (compared by device and inode).
    void protect(dev_t dev, ino_t ino);
    // Sizes and times of the staged files but the record, as written so far.
    std::vector<FileStamp> stamps() const;
    // Starts flushing the files staged so far to the disk on a thread of its
    // own, while the caller goes on; commit waits for it. A hint: commit
    // still syncs every file and reports what fails.
    void flushAhead();
    // Renames the set into place; false and err (naming the file) otherwise,
    // with nothing of the set left behind.
    bool commit(std::string &err);
    // Removes every staged file (and dir if this set made it).
    void discard();

    const std::string &dir() const { return dir_; }
    std::string finalPath(const std::string &name) const;
    // The path a user knows a file by: a staged file's final path, anything
    // else as it is. Messages about a file name this.
    static std::string shownPath(const std::string &path);
    // The prefix of staging folders' names.
    static const char *stagingPrefix();
    // Removes the staging folders that process pid left in dir (a batch's
    // child ended by SIGKILL, which no handler sees).
    static void removeLeftovers(const std::string &dir, pid_t pid);

private:
    struct Staged {
        std::string name, path;
        int slot;
    };
    bool checkTarget(const Staged &s, const std::vector<FileStamp> &trusted, bool recordOurs, std::string &err) const;
    bool isProtected(const std::string &path) const;
    bool swapIn(std::string &err);
    void removeStale(const std::vector<FileStamp> &previous);
    void dropStaging();
    void discardKeepingErrno();  // errno says why the commit failed
    void joinAhead();

    std::string dir_, staging_, record_, stageErr_;
    Policy policy_;
    std::function<bool(const std::string &)> ownsName_;
    std::vector<Staged> staged_;
    std::thread ahead_;  // flushAhead's
    std::vector<std::pair<dev_t, ino_t>> protected_;
    bool madeDir_ = false;
    int dirSlot_ = -1, stagingSlot_ = -1;
};

}  // namespace korvane
