#include "files/memory_policy.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>

namespace korvane {

namespace {

double meminfoAvailable() {
    std::ifstream f("/proc/meminfo");
    std::string key;
    double kb = 0;
    while (f >> key >> kb) {
        if (key == "MemAvailable:") return kb * 1024;
        f.ignore(256, '\n');
    }
    return 0;
}

// bytes the process maps now (its address space in use)
double mappedBytes() {
    std::ifstream f("/proc/self/statm");
    double pages = 0;
    if (!(f >> pages)) return 0;
    return pages * static_cast<double>(sysconf(_SC_PAGESIZE));
}

double addressSpaceLimit() {
    rlimit r{};
    if (getrlimit(RLIMIT_AS, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return 0;
    return static_cast<double>(r.rlim_cur);
}

double envLimit() {
    const char *v = std::getenv("KORVANE_MEMORY_LIMIT");
    if (!v || !*v) return 0;
    char *end = nullptr;
    const double b = std::strtod(v, &end);
    return end != v && b > 0 ? b : 0;
}

std::mutex capLock;
bool capKnown = false;
MemoryCap cap;

}  // namespace

MemoryCap memoryCapOf(double addressLimit, double mapped, double available, double env) {
    MemoryCap c;
    auto least = [&c](double bytes, const char *from) {
        if (bytes > 0 && (c.bytes <= 0 || bytes < c.bytes)) c = {bytes, from};
    };
    least(available, "MemAvailable");
    least(env, "KORVANE_MEMORY_LIMIT");
    if (addressLimit > 0) {
        // no room at all is still a cap, one that refuses everything
        const double room = addressLimit - mapped - kLibraryReserve;
        if (room <= 0)
            c = {0.5, "the address-space limit (ulimit -v) less what is mapped"};
        else
            least(room, "the address-space limit (ulimit -v) less what is mapped");
    }
    return c;
}

const MemoryCap &memoryCap() {
    std::lock_guard<std::mutex> hold(capLock);
    if (!capKnown) {
        cap = memoryCapOf(addressSpaceLimit(), mappedBytes(), meminfoAvailable(), envLimit());
        capKnown = true;
    }
    return cap;
}

void setMemoryCap(double bytes, const std::string &from) {
    std::lock_guard<std::mutex> hold(capLock);
    cap = {bytes, from};
    capKnown = true;
}

std::string megabytes(double bytes) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f MB", bytes / 1e6);
    return buf;
}

}  // namespace korvane
