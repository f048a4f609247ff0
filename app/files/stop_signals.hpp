// The one handler of SIGINT, SIGTERM and SIGHUP in the tool. It removes the
// staged files and folders registered with it, then ends the process with
// the signal; while a StopDeferral lives (a batch waiting on its children)
// it only notes the signal. A signal ignored when the handler is installed
// (nohup) stays ignored.
#pragma once

#include <csignal>
#include <string>

namespace korvane {

enum class StagedKind { File = 1, Folder = 2 };

// Installs the handler once; later calls do nothing.
void installStopHandler();

// Registers a path for removal by the handler (a folder is removed with
// rmdir, after every file, and only when empty; later folders go first).
// Returns a slot for releaseStaged, or -1 when the path cannot be held.
int trackStaged(const std::string &path, StagedKind kind);
void releaseStaged(int slot);

// The signals the handler serves, as a set (for blocking them).
sigset_t stopSignalSet();

// Blocks the stop signals for its life: a stretch that must not be cut
// (renaming a set into place). A signal that came meanwhile is served after.
class StopBlock {
public:
    StopBlock();
    ~StopBlock();
    StopBlock(const StopBlock &) = delete;
    StopBlock &operator=(const StopBlock &) = delete;

private:
    sigset_t old_;
};

// While one lives the handler notes a stop signal instead of ending the
// process. noted() gives it (0: none).
class StopDeferral {
public:
    StopDeferral();
    ~StopDeferral();
    StopDeferral(const StopDeferral &) = delete;
    StopDeferral &operator=(const StopDeferral &) = delete;
    static int noted();
};

}  // namespace korvane
