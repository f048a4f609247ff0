#include "round_bridge.hpp"

#include <algorithm>

namespace kvpy {

int RoundBridge::onRound(int done, int total, void *self) {
    auto *b = static_cast<RoundBridge *>(self);
    if (b->raised_) return 1;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) {
        b->raised_ = true;
        return 1;
    }
    if (b->progress_.is_none()) return 0;
    try {
        b->progress_(b->before + done, std::max(b->total_, total));  // a second factorisation adds its rounds
    } catch (py::error_already_set &e) {
        e.restore();
        b->raised_ = true;
        return 1;
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "the progress callable failed");
        b->raised_ = true;
        return 1;
    }
    return 0;
}

}  // namespace kvpy
