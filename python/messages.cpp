#include "messages.hpp"

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <unistd.h>

namespace kvpy {

CaughtMessages::CaughtMessages() {
    std::fflush(stderr);
    char name[] = "/tmp/korvane-messages-XXXXXX";
    file_ = mkstemp(name);
    if (file_ < 0) return;
    unlink(name);
    saved_ = dup(2);
    if (saved_ < 0 || dup2(file_, 2) < 0) {
        if (saved_ >= 0) close(saved_);
        saved_ = -1;
    }
}

void CaughtMessages::restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
}

CaughtMessages::~CaughtMessages() {
    restore();
    if (file_ >= 0) close(file_);
}

std::string CaughtMessages::text() {
    restore();
    std::string all;
    if (file_ < 0 || lseek(file_, 0, SEEK_SET) < 0) return all;
    char buf[4096];
    for (ssize_t n; (n = read(file_, buf, sizeof buf)) > 0;) all.append(buf, static_cast<size_t>(n));
    static const std::regex prefix("(^|\n)korvane [a-z]+: ");
    all = std::regex_replace(all, prefix, "$1");
    while (!all.empty() && all.back() == '\n') all.pop_back();
    for (char &c : all)
        if (c == '\n') c = ' ';
    return all;
}

}  // namespace kvpy
