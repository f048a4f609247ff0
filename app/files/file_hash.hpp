// A fingerprint of a file's bytes, to tell a later command that its input
// changed since a run.
#pragma once

#include <cstdint>
#include <string>

namespace korvane {

struct FileFingerprint {
    std::uint64_t size = 0;  // bytes
    std::uint64_t hash = 0;  // 64-bit FNV-1a of the bytes
};

// false and err when the file cannot be read.
bool fingerprintFile(const std::string &path, FileFingerprint &fp, std::string &err);

// The hash as 16 lower-case hex digits.
std::string hashText(std::uint64_t hash);

}  // namespace korvane
