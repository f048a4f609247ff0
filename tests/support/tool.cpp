#include "tool.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kvtest {

std::string readText(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

namespace {

[[noreturn]] void execTool(const std::vector<std::string> &args, const std::string &dir) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    // The tool finds its plug-ins beside itself.
    unsetenv("KORVANE_PLUGIN_PATH");
    // Fontconfig, under cairo's text, keeps its configuration until exit;
    // sanitizer builds are told so rather than report it as a leak.
    std::string supp = dir + "/.lsan-fontconfig";
    if (FILE *f = std::fopen(supp.c_str(), "w")) {
        std::fputs("leak:libfontconfig.so\n", f);
        std::fclose(f);
        setenv("LSAN_OPTIONS", ("suppressions=" + supp).c_str(), 1);
    }
    std::vector<char *> argv;
    std::string exe = KORVANE_EXE;
    argv.push_back(exe.data());
    std::vector<std::string> copy = args;
    for (std::string &a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
}

void decode(int status, Result &r) {
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
}

int counter = 0;

}  // namespace

Result runTool(const std::vector<std::string> &args, const std::string &dir) {
    std::string base = "/tmp/kvtest-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    std::string outPath = base + ".out", errPath = base + ".err";
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execTool(args, dir);
    }
    Result r;
    int status = 0;
    waitpid(pid, &status, 0);
    decode(status, r);
    r.out = readText(outPath);
    r.err = readText(errPath);
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    return r;
}

Result runToolLimited(const std::vector<std::string> &args, const std::string &dir,
                      double addressBytes, int seconds) {
    std::string base = "/tmp/kvtest-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    std::string outPath = base + ".out", errPath = base + ".err";
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        rlimit r{static_cast<rlim_t>(addressBytes), static_cast<rlim_t>(addressBytes)};
        if (setrlimit(RLIMIT_AS, &r) != 0) _exit(126);
        execTool(args, dir);
    }
    Result r;
    int status = 0;
    for (int i = 0; i < seconds * 20 && waitpid(pid, &status, WNOHANG) != pid; ++i) usleep(50000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        r.timedOut = true;
    }
    decode(status, r);
    r.out = readText(outPath);
    r.err = readText(errPath);
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    return r;
}

Result runToolOnTerminal(const std::vector<std::string> &args, const std::string &dir,
                         const std::string &stopAfter) {
    std::string outPath =
        "/tmp/kvtest-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".out";
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        // standard error stays on the terminal; standard output goes to a file
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        execTool(args, dir);
    }
    Result r;
    bool stopped = false;
    char buf[4096];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the child has closed the terminal
        r.err.append(buf, static_cast<size_t>(n));
        if (!stopped && !stopAfter.empty() && r.err.find(stopAfter) != std::string::npos) {
            kill(pid, SIGINT);
            stopped = true;
        }
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    decode(status, r);
    r.out = readText(outPath);
    unlink(outPath.c_str());
    return r;
}

Scratch::Scratch() {
    char tmpl[] = "/tmp/korvane-test-XXXXXX";
    path_ = mkdtemp(tmpl);
}

Scratch::~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

Sound makeSound(int channels, int rate, double seconds, double peak) {
    Sound s;
    s.channels = channels;
    s.rate = rate;
    long n = static_cast<long>(seconds * rate);
    s.samples.assign(static_cast<size_t>(n * channels), 0.0f);
    const double twoPi = 6.283185307179586;
    for (long i = 0; i < n; ++i) {
        double t = static_cast<double>(i) / rate;
        // two tones taking turns twice a second, never falling silent
        double swing = 0.45 * std::cos(twoPi * 2 * t);
        double low = std::sin(twoPi * 220 * t) * (0.55 + swing);
        double high = std::sin(twoPi * 2637 * t) * (0.55 - swing);
        for (int c = 0; c < channels; ++c) {
            double mix = (c == 0 ? 0.6 : 0.4) * low + (c == 0 ? 0.4 : 0.6) * high;
            s.samples[static_cast<size_t>(i * channels + c)] = static_cast<float>(peak * mix);
        }
    }
    return s;
}

bool writeSound(const std::string &path, const Sound &s, int format) {
    SF_INFO info{};
    info.samplerate = s.rate;
    info.channels = s.channels;
    info.format = format;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    bool ok = sf_writef_float(f, s.samples.data(), s.frames()) == s.frames();
    return sf_close(f) == 0 && ok;
}

bool readSound(const std::string &path, Sound &s) {
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return false;
    s.channels = info.channels;
    s.rate = info.samplerate;
    s.format = info.format;
    s.samples.assign(static_cast<size_t>(info.frames * info.channels), 0.0f);
    bool ok = sf_readf_float(f, s.samples.data(), info.frames) == info.frames;
    sf_close(f);
    return ok;
}

double relativeError(const Sound &got, const Sound &want) {
    if (got.samples.size() != want.samples.size()) return INFINITY;
    double num = 0, den = 0;
    for (size_t i = 0; i < want.samples.size(); ++i) {
        double d = double(got.samples[i]) - want.samples[i];
        num += d * d;
        den += double(want.samples[i]) * want.samples[i];
    }
    return std::sqrt(num / den);
}

std::vector<std::string> listDir(const std::string &dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace kvtest
