#include "files/write_behind.hpp"

#include "files/stop_signals.hpp"

#include <pthread.h>

#include <algorithm>

namespace korvane {

WriteBehind::WriteBehind(size_t depth) : depth_(std::max<size_t>(1, depth)) {
    // the thread holds back the stop signals: a stop is served by the caller's
    sigset_t stops = stopSignalSet(), old;
    pthread_sigmask(SIG_BLOCK, &stops, &old);
    try {
        thread_ = std::thread([this] { work(); });
    } catch (const std::system_error &) {  // no thread: each job is done as it is added
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

WriteBehind::~WriteBehind() {
    std::string err;
    finish(err);
}

void WriteBehind::work() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
        cv_.wait(lock, [&] { return !jobs_.empty() || closing_; });
        if (jobs_.empty()) return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        const bool skip = failed_;
        lock.unlock();
        std::string err;
        bool ok = true;
        try {
            ok = skip || job(err);
        } catch (const std::bad_alloc &) {
            ok = false;
            err = "not enough memory to write the files";
        }
        job = nullptr;
        lock.lock();
        if (!ok && !failed_) {
            failed_ = true;
            err_ = err;
        }
        cv_.notify_all();
    }
}

bool WriteBehind::add(Job job, std::string &err) {
    std::unique_lock<std::mutex> lock(m_);
    if (!thread_.joinable() && !failed_ && !job(err_)) failed_ = true;
    if (!thread_.joinable() || failed_) {
        if (failed_) err = err_;
        return !failed_;
    }
    cv_.wait(lock, [&] { return jobs_.size() < depth_ || failed_; });
    if (failed_) {
        err = err_;
        return false;
    }
    jobs_.push_back(std::move(job));
    cv_.notify_all();
    return true;
}

bool WriteBehind::finish(std::string &err) {
    {
        std::lock_guard<std::mutex> lock(m_);
        closing_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(m_);
    if (failed_) err = err_;
    return !failed_;
}

}  // namespace korvane
