#include "files/replacing_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace korvane {

ReplacingFile::~ReplacingFile() {
    closeFile();
}

void ReplacingFile::closeFile() {
    if (stream_)
        std::fclose(stream_);
    else if (fd_ >= 0)
        ::close(fd_);
    stream_ = nullptr;
    fd_ = -1;
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
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : real.substr(0, slash);
    std::string base = slash == std::string::npos ? real : real.substr(slash + 1);
    set_ = std::make_unique<StagedSet>(dir, StagedSet::Policy::Named);
    std::string why;
    errno = 0;
    if (!set_->prepare(why) || (fd_ = set_->stageOpen(base, why)) < 0) {
        err = failure(std::strerror(errno ? errno : EIO));
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
    bool ok = fd_ >= 0 && (!stream_ || (std::fflush(stream_) == 0 && !std::ferror(stream_)));
    int saved = errno;
    int closed = stream_ ? std::fclose(stream_) : ::close(fd_);
    stream_ = nullptr;
    fd_ = -1;
    if (ok && closed != 0) ok = false, saved = errno;
    std::string why;
    errno = 0;
    if (ok && !set_->commit(why)) ok = false, saved = errno ? errno : EIO;
    if (!ok) {
        errno = saved;
        err = failure();
        return false;
    }
    return true;
}

}  // namespace korvane
