// The engine's per-round callback as Python sees it: the GIL is taken back
// for a moment each round to deliver Ctrl-C and to call the progress
// callable, and either stops the work.
#pragma once

#include <pybind11/pybind11.h>

namespace kvpy {

namespace py = pybind11;

class RoundBridge {
public:
    // progress: None, or a callable taking (done, total)
    RoundBridge(py::object progress, int total) : progress_(std::move(progress)), total_(total) {}

    // The engine's callback (qm_iterationFn and kve_progressFn alike): done
    // counts from the start of the current call, `before` is added to it;
    // the total shown is the larger of the one set and the call's.
    // Called without the GIL; returns non-zero to stop.
    static int onRound(int done, int total, void *self);

    int before = 0;                               // rounds run by earlier calls
    void setTotal(int total) { total_ = total; }  // once the rounds are known
    // True when a Python error (KeyboardInterrupt, or one the callable
    // raised) is waiting in the thread state; raise it once the GIL is held.
    bool raised() const { return raised_; }

private:
    py::object progress_;
    int total_;
    bool raised_ = false;
};

// Raises the waiting Python error when the bridge stopped the work.
inline void raiseIfStopped(const RoundBridge &bridge) {
    if (bridge.raised()) throw py::error_already_set();
}

}  // namespace kvpy
