// Work done in order on a thread of its own, behind the caller (writing
// blocks to files while the next ones are computed): each job runs after
// those added before it; at most `depth` wait, so a slow disk holds the
// caller back instead of memory growing. The first job that fails ends the
// work and keeps its words.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace korvane {

class WriteBehind {
public:
    using Job = std::function<bool(std::string &err)>;
    explicit WriteBehind(size_t depth);
    ~WriteBehind();  // waits for the jobs added
    WriteBehind(const WriteBehind &) = delete;
    WriteBehind &operator=(const WriteBehind &) = delete;

    // false and err once a job has failed: the job is not added
    bool add(Job job, std::string &err);
    // Waits for every job added; false and err when one failed.
    bool finish(std::string &err);

private:
    void work();
    size_t depth_;
    std::deque<Job> jobs_;
    bool failed_ = false, closing_ = false;
    std::string err_;
    std::mutex m_;
    std::condition_variable cv_;
    std::thread thread_;
};

}  // namespace korvane
