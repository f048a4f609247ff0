#include "batch/batch_run.hpp"

#include "batch/batch_progress.hpp"
#include "files/staged_set.hpp"
#include "files/stop_signals.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <list>

extern char **environ;

namespace korvane {

namespace {

const std::string kPrefix = "korvane decompose: ";
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The stop signals are noted by the tool's one handler (StopDeferral) for
// the batch's length. They are held back but while waiting (ppoll with
// openMask), so that none slips in between a check and the wait.
class StopSignals {
public:
    StopSignals() {
        sigset_t held = stopSignalSet();
        sigprocmask(SIG_BLOCK, &held, &openMask);
    }
    ~StopSignals() { sigprocmask(SIG_SETMASK, &openMask, nullptr); }
    sigset_t openMask;  // the mask before: for waiting, and for the children

private:
    StopDeferral defer_;
};

int stopNoted() {
    return StopDeferral::noted();
}

struct Child {
    const BatchJob *job = nullptr;
    pid_t pid = -1;
    bool madeDir = false;   // its output folder did not exist before it
    int fd[2] = {-1, -1};   // read ends of its standard output and error
    std::string out;        // kept until it ends
    std::string errPart;    // an unfinished line of standard error
    std::string lastError;  // its last message, without the prefix
};

// The environment of the children: one thread of computation each when
// several run at once.
std::vector<std::string> childEnvironment(bool oneThread) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        if (!oneThread || std::strncmp(*e, "OMP_NUM_THREADS=", 16) != 0) env.emplace_back(*e);
    if (oneThread) env.emplace_back("OMP_NUM_THREADS=1");
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> p;
    for (std::string &s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

void closeFd(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Starts the child with its output on two pipes; 0, else an errno value.
int spawnChild(Child &c, std::vector<std::string> args, std::vector<std::string> &env, const sigset_t &mask) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return errno;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        int e = errno;
        close(outPipe[0]);
        close(outPipe[1]);
        return e;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, errPipe[1], STDERR_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setsigmask(&attr, &mask);
    std::vector<char *> argv = pointers(args), envp = pointers(env);
    int rc = posix_spawn(&c.pid, "/proc/self/exe", &fa, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    close(outPipe[1]);
    close(errPipe[1]);
    c.fd[0] = outPipe[0];
    c.fd[1] = errPipe[0];
    if (rc != 0) {
        closeFd(c.fd[0]);
        closeFd(c.fd[1]);
    }
    return rc;
}

// Out of descriptors or processes for now: worth trying again later.
bool isShortage(int err) {
    return err == EMFILE || err == ENFILE || err == EAGAIN || err == ENOMEM;
}

std::string statusText(int status, const std::string &lastError) {
    if (WIFSIGNALED(status)) {
        const char *name = strsignal(WTERMSIG(status));
        return "ended by signal " + std::to_string(WTERMSIG(status)) + " (" + (name ? name : "?") + ")";
    }
    if (!lastError.empty()) return lastError;
    return "ended with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

class Batch {
public:
    Batch(const std::vector<BatchJob> &jobs, const BatchSettings &s, const sigset_t &openMask, bool live)
        : jobs_(jobs), settings_(s), openMask_(openMask), progress_(static_cast<int>(jobs.size()), live, s.quiet),
          env_(childEnvironment(std::min<size_t>(static_cast<size_t>(s.jobs), jobs.size()) > 1)) {}
    std::vector<BatchFailure> run();

private:
    bool start(const BatchJob &job);
    void pump();
    void read(Child &c, int which);
    void errorLines(Child &c, bool all);
    void reap();
    void showRunning();

    const std::vector<BatchJob> &jobs_;
    const BatchSettings &settings_;
    const sigset_t &openMask_;
    BatchProgress progress_;
    std::vector<std::string> env_;
    std::list<Child> running_;
    std::vector<BatchFailure> failures_;
    int forwarded_ = 0;  // the stop signal passed on, once
};

std::vector<BatchFailure> Batch::run() {
    size_t next = 0;
    while (!running_.empty() || (next < jobs_.size() && !stopNoted())) {
        while (!stopNoted() && next < jobs_.size() && running_.size() < static_cast<size_t>(settings_.jobs) &&
               start(jobs_[next]))
            ++next;
        if (stopNoted() && forwarded_ != stopNoted()) {
            forwarded_ = stopNoted();
            for (const Child &c : running_) kill(c.pid, forwarded_);
        }
        showRunning();
        pump();
        reap();
    }
    progress_.clear();
    return failures_;
}

// False when the job could not start for want of resources while others
// run: it is started again once one of them has ended.
bool Batch::start(const BatchJob &job) {
    std::vector<std::string> args = {"korvane", "decompose"};
    args.insert(args.end(), settings_.forwarded.begin(), settings_.forwarded.end());
    args.insert(args.end(), {"-o", job.outDir, "--", job.input});
    Child c;
    c.job = &job;
    struct stat st;
    c.madeDir = stat(job.outDir.c_str(), &st) != 0;
    int rc = spawnChild(c, args, env_, openMask_);
    if (rc == 0) {
        running_.push_back(std::move(c));
        return true;
    }
    if (isShortage(rc) && !running_.empty()) return false;
    const std::string err = std::strerror(rc);
    failures_.push_back({job.input, "cannot start its run: " + err});
    progress_.line(stderr, kPrefix + job.input + ": cannot start its run: " + err);
    progress_.ended(job.input, std::string(), true);
    return true;
}

void Batch::showRunning() {
    std::vector<std::string> names;
    for (const Child &c : running_) names.push_back(c.job->input);
    progress_.show(names);
}

// Waits for output of any child and takes it in.
void Batch::pump() {
    std::vector<pollfd> fds;
    std::vector<std::pair<Child *, int>> owners;
    for (Child &c : running_)
        for (int which = 0; which < 2; ++which)
            if (c.fd[which] >= 0) {
                fds.push_back({c.fd[which], POLLIN, 0});
                owners.emplace_back(&c, which);
            }
    if (fds.empty() || ppoll(fds.data(), fds.size(), nullptr, &openMask_) < 0) return;  // EINTR: a stop signal
    for (size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents) read(*owners[i].first, owners[i].second);
}

void Batch::read(Child &c, int which) {
    char buf[65536];
    ssize_t n = ::read(c.fd[which], buf, sizeof buf);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
        closeFd(c.fd[which]);
        if (which == 1) errorLines(c, true);
        return;
    }
    if (which == 0) {
        c.out.append(buf, static_cast<size_t>(n));
    } else {
        c.errPart.append(buf, static_cast<size_t>(n));
        errorLines(c, false);
    }
}

// Passes on the child's complete lines of standard error (all: the rest too).
void Batch::errorLines(Child &c, bool all) {
    size_t at = 0;
    for (size_t end; (end = c.errPart.find('\n', at)) != std::string::npos || (all && at < c.errPart.size());
         at = end + 1) {
        if (end == std::string::npos) end = c.errPart.size();
        std::string line = c.errPart.substr(at, end - at);
        if (line.compare(0, kPrefix.size(), kPrefix) == 0) {
            line.erase(0, kPrefix.size());
            c.lastError = line;
        } else if (c.lastError.size() < 400 && !line.empty()) {
            c.lastError += (c.lastError.empty() ? "" : " ") + line;  // a message's further lines
        }
        progress_.line(stderr, kPrefix + c.job->input + ": " + line);
    }
    c.errPart.erase(0, std::min(at, c.errPart.size()));
}

// Collects the children whose output has ended.
void Batch::reap() {
    for (auto it = running_.begin(); it != running_.end();) {
        if (it->fd[0] >= 0 || it->fd[1] >= 0) {
            ++it;
            continue;
        }
        int status = 0;
        while (waitpid(it->pid, &status, 0) < 0 && errno == EINTR) {
        }
        bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!ok) {
            failures_.push_back({it->job->input, statusText(status, it->lastError)});
            // a child killed outright (SIGKILL) could not clean up after itself
            StagedSet::removeLeftovers(it->job->outDir, it->pid);
            if (it->madeDir) rmdir(it->job->outDir.c_str());  // only when empty
        }
        if (!it->out.empty() && it->out.back() == '\n') it->out.pop_back();
        progress_.ended(it->job->input, it->out, !ok && !stopNoted());  // not told when stopped
        it = running_.erase(it);
    }
}

}  // namespace

std::vector<BatchFailure> runBatchJobs(const std::vector<BatchJob> &jobs, const BatchSettings &settings, int &stopped) {
    std::vector<BatchFailure> failures;
    {
        StopSignals catcher;
        Batch batch(jobs, settings, catcher.openMask, isatty(STDERR_FILENO) == 1);
        failures = batch.run();
    }
    stopped = stopNoted();  // one that came as the mask was put back included
    return failures;
}

}  // namespace korvane
