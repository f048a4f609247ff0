#include "batch/batch.hpp"

#include "batch/batch_run.hpp"
#include "decompose/decompose_steps.hpp"
#include "files/stdin_sound.hpp"
#include "decompose/bases.hpp"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <set>

namespace korvane {

namespace {

bool isFolder(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parentOf(const std::string &path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// Folders above the jobs' own that do not exist yet: the runs make them.
std::vector<std::string> missingFolders(const BatchPlan &plan) {
    std::set<std::string> missing;
    struct stat st;
    for (const BatchJob &job : plan.jobs)
        for (std::string d = parentOf(job.outDir); !d.empty() && stat(d.c_str(), &st) != 0; d = parentOf(d))
            missing.insert(d);
    return std::vector<std::string>(missing.begin(), missing.end());
}

// Those of them that failed runs left empty go again, innermost first.
void removeEmptyFolders(std::vector<std::string> folders) {
    std::sort(folders.begin(), folders.end(),
              [](const std::string &a, const std::string &b) { return a.size() > b.size(); });
    for (const std::string &d : folders) rmdir(d.c_str());
}

std::string plural(size_t n, const char *word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

void printSummary(const BatchPlan &plan, const std::vector<BatchFailure> &failures, const std::string &root,
                  bool quiet) {
    const size_t total = plan.jobs.size() + plan.failures.size();
    if (!quiet && !plan.jobs.empty()) {
        std::printf("Decomposed %zu of %s into %s/", total - failures.size(), plural(total, "input").c_str(),
                    root.c_str());
        if (plan.skipped) std::printf(" (%s in the folders skipped: not sounds)", plural(plan.skipped, "file").c_str());
        std::printf("\n");
        std::fflush(stdout);
    }
    if (failures.empty()) return;
    std::fprintf(stderr, "korvane decompose: %zu of %s failed:\n", failures.size(), plural(total, "input").c_str());
    for (const BatchFailure &f : failures)
        std::fprintf(stderr, "korvane decompose:   %s: %s\n", f.input.c_str(), f.message.c_str());
}

}  // namespace

int processorCount() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

std::vector<std::string> forwardedOptions(const CLI::App &cmd) {
    std::vector<std::string> args;
    for (const CLI::Option *o : cmd.get_options()) {
        const std::string name = o->get_name();
        if (o->count() == 0 || o->get_positional() || name == "--out" || name == "--jobs" || name == "--help") continue;
        const bool isLong = name.compare(0, 2, "--") == 0;
        for (const std::string &value : o->results()) {
            if (isLong) {
                args.push_back(name + "=" + value);
            } else {
                args.push_back(name);
                if (o->get_expected_max() != 0) args.push_back(value);
            }
        }
    }
    return args;
}

namespace {

// `decompose -`: the sound copied from standard input, decomposed as a file.
int runDecomposeStdin(DecomposeOptions &opt) {
    StdinSound in;
    std::string err;
    if (!in.take(err)) {
        fail(err);
        return isatty(STDIN_FILENO) ? 2 : 1;
    }
    opt.input = in.path();
    opt.fromStdin = true;
    return runDecompose(opt);
}

}  // namespace

int runDecomposeInputs(DecomposeOptions &opt, const std::vector<std::string> &forwarded) {
    if (opt.jobs < 0) {
        fail("--jobs must be 0 (one per processor) or more, not " + std::to_string(opt.jobs));
        return 2;
    }
    const bool stdinGiven = std::find(opt.inputs.begin(), opt.inputs.end(), kStdinName) != opt.inputs.end();
    if (stdinGiven && opt.inputs.size() > 1) {
        fail("- (standard input) is decomposed alone, not beside other inputs");
        return 2;
    }
    if (stdinGiven) return runDecomposeStdin(opt);
    if (opt.inputs.size() == 1 && !isFolder(opt.inputs[0])) {
        opt.input = opt.inputs[0];
        return runDecompose(opt);
    }
    {
        // options are refused once, not by every input's run, and as one
        // input's run refuses them (K from any given bases)
        DecomposeOptions resolved = opt;
        if (int status = resolveBases(resolved)) return status;
        Run check(resolved);
        if (int status = checkOptions(check)) return status;
    }
    std::string root = opt.outDir.empty() ? std::string(kBatchOutDir) : opt.outDir;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    struct stat st;
    if (stat(root.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        fail("'" + root + "' exists and is not a folder");
        return 1;
    }
    BatchPlan plan = planBatch(opt.inputs, root);
    for (const BatchFailure &f : plan.failures) fail(f.input + ": " + f.message);
    BatchSettings settings;
    settings.forwarded = forwarded;
    settings.jobs = opt.jobs > 0 ? opt.jobs : processorCount();
    settings.quiet = opt.quiet;
    std::vector<BatchFailure> failures = plan.failures;
    const std::vector<std::string> made = missingFolders(plan);
    int stopped = 0;
    for (BatchFailure &f : runBatchJobs(plan.jobs, settings, stopped)) failures.push_back(std::move(f));
    removeEmptyFolders(made);
    if (stopped) raise(stopped);
    printSummary(plan, failures, root, opt.quiet);
    return failures.empty() ? 0 : 1;
}

}  // namespace korvane
