// A fingerprint of a file's bytes, to tell a later command that its input
// changed since a run.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace korvane {

struct FileFingerprint {
    std::uint64_t size = 0;  // bytes
    std::uint64_t hash = 0;  // 64-bit FNV-1a of the bytes
    // which file it was, and when it last changed, as it was opened
    std::uint64_t dev = 0, ino = 0;
    std::int64_t mtimeNs = 0;
};

// Opens a regular file for reading without waiting on a pipe's writer: its
// descriptor (with st filled), or -1 and err naming path.
int openRegularFile(const std::string &path, struct stat &st, std::string &err);

// false and err when the file cannot be read or is no regular file (a pipe
// is refused without waiting on it).
bool fingerprintFile(const std::string &path, FileFingerprint &fp, std::string &err);

// The same in two steps: the file opened and identified (its descriptor, or
// -1 and err), then its bytes hashed, on any thread; hashOpened closes fd.
int openFingerprint(const std::string &path, FileFingerprint &fp, std::string &err);
bool hashOpened(int fd, const std::string &path, FileFingerprint &fp, std::string &err);

// True when path is still the file fp was taken of, unchanged: the same
// device, inode, size and time of change.
bool stillSameFile(const std::string &path, const FileFingerprint &fp);

// The hash as 16 lower-case hex digits.
std::string hashText(std::uint64_t hash);

}  // namespace korvane
