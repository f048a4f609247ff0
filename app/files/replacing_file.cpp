#include "files/replacing_file.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string.h>
#include <csignal>
#include <pthread.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane {

namespace {

// The mode a new file gets: the old file's, else what the umask allows.
mode_t modeFor(const struct stat *old) {
    if (old) return old->st_mode & 07777;
    mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Temporary files open now, removed when a signal ends the process.
std::atomic<char *> pending[8];
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[3];

void removePendingOnSignal(int sig) {
    for (auto &p : pending)
        if (char *name = p.load()) ::unlink(name);
    for (int i = 0; i < 3; ++i)
        if (kSignals[i] == sig) ::sigaction(sig, &previous[i], nullptr);
    ::raise(sig);
}

void watchSignals() {
    static bool done = false;
    if (done) return;
    done = true;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = removePendingOnSignal;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < 3; ++i) ::sigaction(kSignals[i], &sa, &previous[i]);
}

void track(const std::string &name) {
    watchSignals();
    for (auto &p : pending) {
        char *none = nullptr;
        char *copy = ::strdup(name.c_str());
        if (p.compare_exchange_strong(none, copy)) return;
        std::free(copy);
    }
}

void untrack(const std::string &name) {
    for (auto &p : pending) {
        char *cur = p.load();
        if (cur && name == cur && p.compare_exchange_strong(cur, nullptr)) {
            std::free(cur);
            return;
        }
    }
}

}  // namespace

ReplacingFile::~ReplacingFile() {
    if (stream_)
        std::fclose(stream_);
    else if (fd_ >= 0)
        ::close(fd_);
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        untrack(temp_);
    }
}

std::string ReplacingFile::failure(const std::string &reason) const {
    std::string why = reason.empty() && errno ? std::strerror(errno) : reason;
    return "cannot write " + kind_ + " " + target_ + (why.empty() ? "" : ": " + why);
}

bool ReplacingFile::open(const std::string &path, const std::string &kind, std::string &err) {
    kind_ = kind;
    target_ = path;
    std::string real = path;
    struct stat st;
    bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        err = failure("not a regular file");
        return false;
    }
    char resolved[PATH_MAX];
    if (exists && ::realpath(path.c_str(), resolved)) real = resolved;
    size_t slash = real.rfind('/');
    std::string dir = slash == std::string::npos ? "" : real.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? real : real.substr(slash + 1);
    std::string name = dir + "." + base + ".XXXXXX";
    // a signal between making the file and tracking it would leave it behind
    watchSignals();
    sigset_t block, old;
    sigemptyset(&block);
    for (int sig : kSignals) sigaddset(&block, sig);
    ::pthread_sigmask(SIG_BLOCK, &block, &old);
    errno = 0;
    fd_ = ::mkstemp(&name[0]);
    int made = errno;
    if (fd_ >= 0) track(name);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (fd_ < 0) {
        errno = made;
        err = failure();
        return false;
    }
    temp_ = name;
    real_ = real;
    if (::fchmod(fd_, modeFor(exists ? &st : nullptr)) != 0) {
        err = failure();
        return false;
    }
    return true;
}

FILE *ReplacingFile::stream() {
    if (!stream_ && fd_ >= 0) stream_ = ::fdopen(fd_, "w");
    return stream_;
}

bool ReplacingFile::commit(std::string &err) {
    errno = 0;
    bool ok = fd_ >= 0 && (!stream_ || (std::fflush(stream_) == 0 && !std::ferror(stream_))) && ::fsync(fd_) == 0;
    int saved = errno;
    int closed = stream_ ? std::fclose(stream_) : ::close(fd_);
    stream_ = nullptr;
    fd_ = -1;
    if (ok && closed != 0) ok = false, saved = errno;
    if (ok && ::rename(temp_.c_str(), real_.c_str()) != 0) ok = false, saved = errno;
    if (!ok) {
        errno = saved;
        err = failure();
        return false;
    }
    untrack(temp_);
    temp_.clear();
    return true;
}

}  // namespace korvane
