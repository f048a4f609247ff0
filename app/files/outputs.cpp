#include "files/outputs.hpp"

#include "files/pcm_words.hpp"

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace korvane {

namespace {

// Paths the signal handler removes; fixed storage so that the handler needs
// nothing but unlink and rmdir. A slot whose flag is 0 is free.
constexpr int kSlots = 512;
constexpr int kPathMax = 4096;
char g_paths[kSlots][kPathMax];
std::atomic<int> g_used[kSlots];  // 0 free, 1 file, 2 folder

int claimSlot(const std::string &path, int kind) {
    if (path.size() >= kPathMax) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (g_used[i].compare_exchange_strong(expected, -1)) {
            std::memcpy(g_paths[i], path.c_str(), path.size() + 1);
            g_used[i].store(kind);
            return i;
        }
    }
    return -1;
}

void releaseSlot(int slot) {
    if (slot >= 0) g_used[slot].store(0);
}

extern "C" void cleanupOnSignal(int sig) {
    for (int i = 0; i < kSlots; ++i)
        if (g_used[i].load() == 1) unlink(g_paths[i]);
    for (int i = 0; i < kSlots; ++i)
        if (g_used[i].load() == 2) rmdir(g_paths[i]);  // only if empty
    signal(sig, SIG_DFL);
    raise(sig);
}

// ".NAME.part-PID", the temporary of NAME in the same folder
std::string partTag() {
    return ".part-" + std::to_string(getpid());
}

bool isDir(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

void OutputSet::installSignalCleanup() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = cleanupOnSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

OutputSet::OutputSet(std::string dir) : dir_(std::move(dir)) {
    while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
    if (dir_.empty()) dir_ = ".";
}

OutputSet::~OutputSet() {
    discard();
}

std::string OutputSet::finalPath(const std::string &name) const {
    return dir_ + "/" + name;
}

bool OutputSet::prepare(std::string &err) {
    if (isDir(dir_)) return true;
    struct stat st;
    if (stat(dir_.c_str(), &st) == 0) {
        err = "'" + dir_ + "' exists and is not a folder";
        return false;
    }
    // Parents are made as needed; only the innermost is ours to remove.
    for (size_t pos = dir_.find('/', 1); pos != std::string::npos; pos = dir_.find('/', pos + 1)) {
        std::string part = dir_.substr(0, pos);
        if (!isDir(part) && mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            err = "cannot make folder '" + part + "': " + std::strerror(errno);
            return false;
        }
    }
    if (mkdir(dir_.c_str(), 0777) != 0) {
        err = "cannot make folder '" + dir_ + "': " + std::strerror(errno);
        return false;
    }
    madeDir_ = true;
    dirSlot_ = claimSlot(dir_, 2);
    return true;
}

std::string OutputSet::stage(const std::string &finalName) {
    std::string temp = dir_ + "/." + finalName + partTag();
    staged_.push_back({temp, finalName, claimSlot(temp, 1)});
    return temp;
}

std::string OutputSet::shownPath(const std::string &path) {
    size_t slash = path.rfind('/');
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    std::string tag = partTag();
    if (path.size() < base + 1 + tag.size() + 1 || path[base] != '.' ||
        path.compare(path.size() - tag.size(), tag.size(), tag) != 0)
        return path;
    return path.substr(0, base) + path.substr(base + 1, path.size() - tag.size() - base - 1);
}

bool OutputSet::commit(std::string &err) {
    bool ok = true;
    std::vector<std::string> written;
    for (Staged &s : staged_) {
        written.push_back(s.name);
        if (ok && std::rename(s.temp.c_str(), finalPath(s.name).c_str()) != 0) {
            err = "cannot write '" + finalPath(s.name) + "': " + std::strerror(errno);
            ok = false;
        }
        if (!ok) unlink(s.temp.c_str());
        releaseSlot(s.slot);
    }
    staged_.clear();
    releaseSlot(dirSlot_);
    dirSlot_ = -1;
    madeDir_ = false;  // it now holds results
    if (ok) removeStale(written);
    previous_.clear();
    return ok;
}

void OutputSet::removeStale(const std::vector<std::string> &written) {
    for (const std::string &name : previous_) {
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) continue;
        if (std::find(written.begin(), written.end(), name) != written.end()) continue;
        struct stat st;
        if (lstat(finalPath(name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(finalPath(name).c_str());
    }
}

void OutputSet::discard() {
    for (Staged &s : staged_) {
        unlink(s.temp.c_str());
        releaseSlot(s.slot);
    }
    staged_.clear();
    if (madeDir_) rmdir(dir_.c_str());
    releaseSlot(dirSlot_);
    dirSlot_ = -1;
    madeDir_ = false;
}

bool writeSound(const std::string &path, const float *interleaved, long frames, int channels, int sampleRate,
                SampleFormat format, std::string &err) {
    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = sndfileFormat(format);
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    const std::string shown = OutputSet::shownPath(path);
    if (!f) {
        err = "cannot write '" + shown + "': " + sf_strerror(nullptr);
        return false;
    }
    // Full-scale floats map to full-scale integers without wrapping.
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    std::vector<std::int32_t> words;
    sf_count_t written = writePcmFrames(f, format, interleaved, frames, channels, words);
    bool ok = written == frames;
    if (!ok) err = "cannot write '" + shown + "': " + sf_strerror(f);
    if (sf_close(f) != 0 && ok) {
        err = "cannot write '" + shown + "'";
        ok = false;
    }
    return ok;
}

}  // namespace korvane
