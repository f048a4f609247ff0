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

// Runs the tool with standard input from /dev/null and its output in files;
// under an address-space limit of addressBytes (0: none), killed past
// seconds (0: waits for ever).
Result runCaptured(const std::vector<std::string> &args, const std::string &dir,
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
        if (addressBytes > 0) {
            rlimit r{static_cast<rlim_t>(addressBytes), static_cast<rlim_t>(addressBytes)};
            if (setrlimit(RLIMIT_AS, &r) != 0) _exit(126);
        }
        execTool(args, dir);
    }
    Result r;
    int status = 0;
    if (seconds > 0) {
        for (int i = 0; i < seconds * 20 && waitpid(pid, &status, WNOHANG) != pid; ++i)
            usleep(50000);
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            r.timedOut = true;
        }
    } else {
        waitpid(pid, &status, 0);
    }
    decode(status, r);
    r.out = readText(outPath);
    r.err = readText(errPath);
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    return r;
}

}  // namespace

Result runTool(const std::vector<std::string> &args, const std::string &dir) {
    return runCaptured(args, dir, 0, 0);
}

Result runToolLimited(const std::vector<std::string> &args, const std::string &dir,
                      double addressBytes, int seconds) {
    return runCaptured(args, dir, addressBytes, seconds);
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

}  // namespace kvtest
