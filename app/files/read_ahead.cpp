#include "files/read_ahead.hpp"

#include "files/stop_signals.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstring>

namespace korvane {

ReadAhead::ReadAhead(Reader reader, int channels, long length)
    : reader_(std::move(reader)), channels_(channels), length_(length), buf_(static_cast<size_t>(channels)),
      at_(static_cast<size_t>(channels)) {}

ReadAhead::~ReadAhead() {
    settle();
}

void ReadAhead::settle() {
    if (pending_.valid()) pending_.wait();
    pending_ = std::future<bool>();
    start_ = -1;
    count_ = 0;
}

void ReadAhead::readNext(long start, long count) {
    try {
        for (size_t c = 0; c < buf_.size(); ++c) {
            if (buf_[c].size() < static_cast<size_t>(count)) buf_[c].resize(static_cast<size_t>(count));
            at_[c] = buf_[c].data();
        }
    } catch (const std::bad_alloc &) {  // no room to read ahead: read when asked
        return;
    }
    // the thread holds back the stop signals: a stop is served where it is awaited
    sigset_t stops = stopSignalSet(), old;
    pthread_sigmask(SIG_BLOCK, &stops, &old);
    try {
        pending_ = std::async(std::launch::async, [this, start, count] { return reader_(start, count, at_.data()); });
        start_ = start;
        count_ = count;
    } catch (const std::system_error &) {  // no thread: read when asked
        start_ = -1;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

bool ReadAhead::read(long start, long count, double *const *ch) {
    bool ok;
    if (pending_.valid() && start == start_ && count == count_) {
        ok = pending_.get();
        for (size_t c = 0; ok && c < buf_.size(); ++c)
            std::memcpy(ch[c], buf_[c].data(), static_cast<size_t>(count) * sizeof(double));
    } else {
        settle();
        ok = reader_(start, count, ch);
    }
    start_ = -1;
    const long next = start + count;
    if (ok && count > 0 && next < length_) readNext(next, std::min(count, length_ - next));
    return ok;
}

}  // namespace korvane
