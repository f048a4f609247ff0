#include "decompose/decompose.hpp"

#include "decompose/bases.hpp"
#include "cli/component_list.hpp"
#include "decompose/decompose_steps.hpp"
#include "files/memory_policy.hpp"
#include "files/stdin_sound.hpp"
#include "files/tool_record.hpp"

#include <cstdio>
#include <memory>
#include <set>

namespace korvane {

std::string shownInput(const DecomposeOptions &opt) {
    return opt.fromStdin ? std::string(kStdinName) : opt.input;
}

namespace {

int decomposeOnce(const DecomposeOptions &opt, DecomposeReport *report);

}  // namespace

int runDecompose(const DecomposeOptions &opt, DecomposeReport *report) {
    try {
        return decomposeOnce(opt, report);
    } catch (const std::exception &e) {  // a library's words, with the file they are about
        fail(describeFailure(shownInput(opt), e));
        return 1;
    }
}

namespace {

int decomposeOnce(const DecomposeOptions &opt, DecomposeReport *report) {
    if (!opt.given && (!opt.bases.empty() || opt.fixBases || opt.extra)) {
        DecomposeOptions withBases = opt;  // K from the given bases
        if (int status = resolveBases(withBases)) return status;
        return decomposeOnce(withBases, report);
    }
    memoryCap();  // fixed now, before the run maps anything of its own
    Run run(opt);
    if (int status = checkOptions(run)) return status;
    StagedSet out(outputFolder(opt));
    if (int status = loadSound(run, out)) return status;
    if (int status = analyseSound(run)) return status;
    if (int status = factorise(run)) return status;
    if (int status = resynthesiseAndWrite(run, out)) return status;
    out.flushAhead();  // the sound files go to the disk while the rest is made
    if (opt.plot) {
        if (int status = drawPicture(run, out)) return status;
    }
    if (opt.page) {
        if (int status = writeListeningPage(run, out)) return status;
    }
    // the record last: it holds the sizes and times of the files above
    if (int status = writeComponentsJson(run, out)) return status;

    std::string err;
    if (!out.commit(err)) {
        fail(err);
        return 1;
    }
    const size_t n = run.written.size();
    if (!opt.quiet) {
        std::printf("%d component%s of %s in %s/: %zu file%s (factorisation %.1f s, resynthesis %.1f s)\n",
                    opt.components, opt.components == 1 ? "" : "s", shownInput(opt).c_str(), out.dir().c_str(), n,
                    n == 1 ? "" : "s", run.factorSeconds, run.resynthSeconds);
        std::fflush(stdout);
    }
    if (report) {
        report->outDir = out.dir();
        report->files = run.written;
        report->factorSeconds = run.factorSeconds;
        report->resynthSeconds = run.resynthSeconds;
    }
    return 0;
}

}  // namespace

}  // namespace korvane
