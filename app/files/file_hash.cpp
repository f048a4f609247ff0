#include "files/file_hash.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace korvane {

namespace {

std::int64_t nanos(const struct timespec &t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void identify(const struct stat &st, FileFingerprint &fp) {
    fp.dev = static_cast<std::uint64_t>(st.st_dev);
    fp.ino = static_cast<std::uint64_t>(st.st_ino);
    fp.mtimeNs = nanos(st.st_mtim);
}

}  // namespace

int openRegularFile(const std::string &path, struct stat &st, std::string &err) {
    // O_NONBLOCK: opening a pipe with no writer would wait for one
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        err = "cannot read '" + path + "': " + std::strerror(errno);
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        err = "'" + path + "' is not a regular file";
        return -1;
    }
    return fd;
}

int openFingerprint(const std::string &path, FileFingerprint &fp, std::string &err) {
    struct stat st;
    int fd = openRegularFile(path, st, err);
    if (fd >= 0) identify(st, fp);
    return fd;
}

bool hashOpened(int fd, const std::string &path, FileFingerprint &fp, std::string &err) {
    std::uint64_t h = 0xcbf29ce484222325ull, size = 0;
    std::vector<unsigned char> buf(1 << 16);
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t i = 0; i < n; ++i) h = (h ^ buf[static_cast<size_t>(i)]) * 0x100000001b3ull;
        size += static_cast<std::uint64_t>(n);
    }
    close(fd);
    if (!ok) {
        err = "cannot read '" + path + "'";
        return false;
    }
    fp.size = size;
    fp.hash = h;
    return true;
}

bool fingerprintFile(const std::string &path, FileFingerprint &fp, std::string &err) {
    const int fd = openFingerprint(path, fp, err);
    return fd >= 0 && hashOpened(fd, path, fp, err);
}

bool stillSameFile(const std::string &path, const FileFingerprint &fp) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    FileFingerprint now;
    identify(st, now);
    return now.dev == fp.dev && now.ino == fp.ino && static_cast<std::uint64_t>(st.st_size) == fp.size &&
           now.mtimeNs == fp.mtimeNs;
}

std::string hashText(std::uint64_t hash) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

}  // namespace korvane
