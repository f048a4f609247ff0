#include "files/stdin_sound.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace korvane {

namespace {

// A file with no name in dir, open for reading and writing; -1 on failure.
int unnamedFile(const std::string &dir) {
    int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    std::string tmpl = dir + "/.korvane-stdin-XXXXXX";  // a file system without O_TMPFILE
    fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd >= 0) unlink(tmpl.c_str());
    return fd;
}

bool copyAll(int from, int to, std::string &err) {
    std::vector<char> buf(1 << 16);
    for (;;) {
        ssize_t n = read(from, buf.data(), buf.size());
        if (n == 0) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = std::string("cannot read standard input: ") + std::strerror(errno);
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(to, buf.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                err = std::string("cannot keep standard input in a temporary file: ") + std::strerror(errno);
                return false;
            }
            done += w;
        }
    }
}

}  // namespace

StdinSound::~StdinSound() {
    if (fd_ >= 0) close(fd_);
}

bool StdinSound::take(std::string &err) {
    if (isatty(STDIN_FILENO)) {
        err = "standard input is a terminal; pipe a sound into it (korvane decompose - < in.wav)";
        return false;
    }
    const char *tmp = std::getenv("TMPDIR");
    const std::string dir = tmp && *tmp ? tmp : "/tmp";
    fd_ = unnamedFile(dir);
    if (fd_ < 0) {
        err = "cannot make a temporary file in '" + dir + "' for standard input: " + std::strerror(errno);
        return false;
    }
    if (!copyAll(STDIN_FILENO, fd_, err)) return false;
    path_ = "/proc/self/fd/" + std::to_string(fd_);
    return true;
}

std::string stdinWording(std::string err, const std::string &path) {
    for (const std::string &from : {"'" + path + "'", path})
        for (size_t at = err.find(from); !path.empty() && at != std::string::npos; at = err.find(from, at))
            err.replace(at, from.size(), "standard input");
    return err;
}

}  // namespace korvane
