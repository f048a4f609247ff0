// The one memory cap of a command-line run: the least of the address-space
// limit (less what the process already maps and what the libraries map for
// themselves), MemAvailable and KORVANE_MEMORY_LIMIT. Found once, on first
// use, and handed to the engine (kve_fitsMemory) and the sound reader.
#pragma once

#include <string>

namespace korvane {

struct MemoryCap {
    double bytes = 0;  // 0: no cap known
    std::string from;  // what set it, for a refusal ("the address-space limit (ulimit -v)" ...)
};

// Address space the libraries map for themselves on first use, kept out of
// the cap: OpenBLAS's buffer (128 MiB, mapped whole; 0.3.21 retries a failed
// map for ever), the second thread's stack (8 MiB) and malloc arena
// (64 MiB), and 16 MiB to spare. Measured: a 1 s decompose that starts with
// 60 MiB mapped needs a limit of 270 MiB.
constexpr double kLibraryReserve = (128.0 + 8.0 + 64.0 + 16.0) * 1048576.0;

// The cap of this process, found on first call.
const MemoryCap &memoryCap();
// Sets the cap (tests); a later memoryCap() returns it.
void setMemoryCap(double bytes, const std::string &from);

// The cap from these figures (bytes; 0 for one not known or not set):
// the address-space limit less the mapped size and kLibraryReserve, then the
// smaller of that, available memory and the env limit.
MemoryCap memoryCapOf(double addressLimit, double mapped, double available, double envLimit);

// "12.3 MB"
std::string megabytes(double bytes);

}  // namespace korvane
