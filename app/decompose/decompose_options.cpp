// Options of `korvane decompose`, checked before anything is read.
#include "cli/component_list.hpp"
#include "decompose/decompose_steps.hpp"
#include "cli/progress.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace korvane {

void fail(const std::string &msg) {
    std::fprintf(stderr, "korvane decompose: %s\n", msg.c_str());
}

void say(const Run &run, const char *format, ...) {
    if (!run.opt.verbose) return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

std::string componentFile(const std::string &name, int number, const char *ext) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "-c%02d", number);
    return name + buf + ext;
}

int checkOptions(Run &run) {
    const DecomposeOptions &opt = run.opt;
    const int K = opt.components;
    if (K < 1 || K > kMaxComponents) {
        fail("the number of components must be between 1 and " + std::to_string(kMaxComponents) + ", not " +
             std::to_string(K));
        return 2;
    }
    if (opt.win && !(*opt.win > 0)) {
        fail("--win must be a positive number of seconds");
        return 2;
    }
    if (opt.fft && (*opt.fft < 2 || *opt.fft > (1L << 30) || (*opt.fft & (*opt.fft - 1)) != 0)) {
        fail("--fft must be a power of two from 2 to 1073741824, not " + std::to_string(*opt.fft));
        return 2;
    }
    if (opt.hop && !(*opt.hop > 0 && *opt.hop <= 1)) {
        fail("--hop must be a fraction of the window above 0 and at most 1");
        return 2;
    }
    if (std::find(formatNames().begin(), formatNames().end(), opt.format) == formatNames().end()) {
        fail("--format must be one of same, pcm16, pcm24, float, flac");
        return 2;
    }
    if (opt.iterations && *opt.iterations < 1) {
        fail("--iterations must be at least 1");
        return 2;
    }
    if (!(opt.tol >= 0)) {
        fail("--tol must be 0 or a positive fraction");
        return 2;
    }
    if (opt.start != "nndsvda" && opt.start != "random") {
        fail("--start must be nndsvda or random");
        return 2;
    }
    if (!opt.channels.empty() && opt.channels != "sum" && opt.channels != "stack") {
        fail("--channels must be sum or stack");
        return 2;
    }
    if (int status = chooseModel(run)) return status;
    if (opt.order != "centroid" && opt.order != "peak" && opt.order != "energy" && opt.order != "onset") {
        fail("--order must be centroid, peak, energy or onset");
        return 2;
    }
    run.start = opt.start;
    run.channelMode = opt.channels.empty() ? "stack" : opt.channels;
    std::string err;
    if (opt.only.empty()) {
        for (int i = 1; i <= K; ++i) run.chosen.push_back(i);
    } else if (!parseComponentList(opt.only, K, run.chosen, err)) {
        fail("--only: " + err);
        return 2;
    }
    if (!parseGroups(opt.groups, K, run.groups, err)) {
        fail("--group: " + err);
        return 2;
    }
    run.progress = !opt.quiet && stderrIsTerminal();
    return 0;
}

}  // namespace korvane
