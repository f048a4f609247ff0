// Worker threads that encode the page's sounds as their blocks come.
#include "page/page_encoder.hpp"

#include "files/stop_signals.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>

namespace korvane {

PageAudioEncoder::PageAudioEncoder(std::vector<Stream> streams, int sampleRate, int threads)
    : kinds_(std::move(streams)), rate_(sampleRate), threads_(std::max(1, threads)) {}

PageAudioEncoder::~PageAudioEncoder() {
    stop();
}

bool PageAudioEncoder::openStreams(std::string &err) {
    streams_.clear();
    for (size_t s = 0; s < kinds_.size(); ++s) {
        streams_.push_back(std::make_unique<OpusStream>());
        if (!streams_.back()->open(kinds_[s].channels, rate_, kinds_[s].bitrate, static_cast<int>(s) + 1, err))
            return false;
    }
    bytes_.assign(kinds_.size(), std::string());
    busy_.assign(kinds_.size(), 0);
    queue_.clear();
    added_ = done_ = 0;
    ended_ = 0;
    stopping_ = false;
    err_.clear();
    return true;
}

bool PageAudioEncoder::start(std::string &err) {
    if (!openStreams(err)) return false;
    // the workers inherit a mask that holds back the stop signals
    sigset_t stops = stopSignalSet(), old;
    pthread_sigmask(SIG_BLOCK, &stops, &old);
    try {
        for (int i = 0; i < threads_; ++i) workers_.emplace_back([this] { work(); });
    } catch (const std::exception &) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        stop();
        err = "cannot start the page's encoding";
        return false;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return true;
}

void PageAudioEncoder::stop() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stopping_ = true;
    }
    cv_.notify_all();
    for (std::thread &t : workers_) t.join();
    workers_.clear();
}

void PageAudioEncoder::add(int s, const float *interleaved, long frames, bool held) {
    Job j;
    j.stream = s;
    j.frames = frames;
    if (held) {
        j.data = interleaved;
    } else {
        j.own.assign(interleaved, interleaved + static_cast<size_t>(frames) *
                                                    static_cast<size_t>(kinds_[static_cast<size_t>(s)].channels));
        j.data = j.own.data();
    }
    {
        std::lock_guard<std::mutex> lock(m_);
        queue_.push_back(std::move(j));
        added_ += frames;
    }
    cv_.notify_one();
}

void PageAudioEncoder::add(int s, std::vector<float> interleaved) {
    Job j;
    j.stream = s;
    j.frames = static_cast<long>(interleaved.size()) / kinds_[static_cast<size_t>(s)].channels;
    j.own = std::move(interleaved);
    j.data = j.own.data();
    const long frames = j.frames;
    {
        std::lock_guard<std::mutex> lock(m_);
        queue_.push_back(std::move(j));
        added_ += frames;
    }
    cv_.notify_one();
}

void PageAudioEncoder::work() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
        auto next = queue_.end();
        cv_.wait(lock, [&] {
            if (stopping_) return true;
            next = std::find_if(queue_.begin(), queue_.end(), [&](const Job &j) { return !busy_[j.stream]; });
            return next != queue_.end();
        });
        if (stopping_) return;
        Job j = std::move(*next);
        queue_.erase(next);
        busy_[j.stream] = 1;
        const bool skip = !err_.empty();  // after a failure the rest is only dropped
        lock.unlock();
        std::string err;
        bool ok = true;
        OpusStream &s = *streams_[j.stream];
        try {
            if (!skip) ok = j.end ? s.finish(bytes_[j.stream], err) : s.add(j.data, j.frames, err);
        } catch (const std::bad_alloc &) {
            ok = false;
            err = "not enough memory for the page's audio";
        }
        j.own = std::vector<float>();
        lock.lock();
        busy_[j.stream] = 0;
        if (!ok && err_.empty()) err_ = err;
        done_ += j.frames;
        if (j.end) ++ended_;
        // every stream ended: nothing more can come
        if (ended_ == static_cast<int>(streams_.size())) stopping_ = true;
        cv_.notify_all();
    }
}

bool PageAudioEncoder::restart(std::string &err) {
    stop();
    return start(err);
}

bool PageAudioEncoder::finish(std::vector<std::string> &out, std::string &err,
                              const std::function<void(long, long)> &progress) {
    {
        std::lock_guard<std::mutex> lock(m_);
        for (size_t s = 0; s < streams_.size(); ++s) {
            Job j;
            j.stream = static_cast<int>(s);
            j.end = true;
            queue_.push_back(std::move(j));
        }
    }
    cv_.notify_all();
    {
        std::unique_lock<std::mutex> lock(m_);
        while (ended_ < static_cast<int>(streams_.size()) && !workers_.empty()) {
            const long done = done_, added = added_;
            if (progress) {
                lock.unlock();
                progress(done, added);
                lock.lock();
            }
            cv_.wait_for(lock, std::chrono::milliseconds(200),
                         [&] { return done_ != done || ended_ == static_cast<int>(streams_.size()); });
        }
        if (progress) progress(done_, added_);
    }
    const bool ended = ended_ == static_cast<int>(streams_.size());
    stop();
    if (!ended && err_.empty()) err_ = "the page's encoding was stopped";
    if (!err_.empty()) {
        err = err_;
        return false;
    }
    out = std::move(bytes_);
    bytes_.clear();
    return true;
}

}  // namespace korvane
