#include "files/stop_signals.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace korvane {

namespace {

// Fixed storage, so that the handler needs nothing but unlink and rmdir.
constexpr int kSlots = 512;
constexpr int kPathMax = 4096;
char g_paths[kSlots][kPathMax];
std::atomic<int> g_used[kSlots];  // 0 free, -1 being filled, else a StagedKind
std::atomic<long> g_order[kSlots];
std::atomic<long> g_next{0};
std::atomic<int> g_deferrals{0};
volatile std::sig_atomic_t g_noted = 0;
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void removeStaged() {
    for (int i = 0; i < kSlots; ++i)
        if (g_used[i].load() == static_cast<int>(StagedKind::File)) unlink(g_paths[i]);
    // folders newest first: a staging folder before the output folder it is in
    long last = g_next.load();
    for (long at = last; at >= 0; --at)
        for (int i = 0; i < kSlots; ++i)
            if (g_used[i].load() == static_cast<int>(StagedKind::Folder) && g_order[i].load() == at) rmdir(g_paths[i]);
}

extern "C" void onStopSignal(int sig) {
    if (g_deferrals.load() > 0) {
        if (!g_noted) g_noted = sig;
        return;
    }
    removeStaged();
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

sigset_t stopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kSignals) sigaddset(&set, sig);
    return set;
}

void installStopHandler() {
    static std::atomic<bool> done{false};
    if (done.exchange(true)) return;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : kSignals) sigaddset(&sa.sa_mask, sig);
    for (int sig : kSignals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;  // nohup stays
        sigaction(sig, &sa, nullptr);
    }
}

int trackStaged(const std::string &path, StagedKind kind) {
    installStopHandler();
    if (path.size() >= kPathMax) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (g_used[i].compare_exchange_strong(expected, -1)) {
            std::memcpy(g_paths[i], path.c_str(), path.size() + 1);
            g_order[i].store(g_next.fetch_add(1));
            g_used[i].store(static_cast<int>(kind));
            return i;
        }
    }
    return -1;
}

void releaseStaged(int slot) {
    if (slot >= 0 && slot < kSlots) g_used[slot].store(0);
}

StopBlock::StopBlock() {
    sigset_t set = stopSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, &old_);
}

StopBlock::~StopBlock() {
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

StopDeferral::StopDeferral() {
    installStopHandler();
    if (g_deferrals.fetch_add(1) == 0) g_noted = 0;
}

StopDeferral::~StopDeferral() {
    g_deferrals.fetch_sub(1);
}

int StopDeferral::noted() {
    return g_noted;
}

}  // namespace korvane
