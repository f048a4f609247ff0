#include "demo/demo.hpp"

#include "decompose/decompose.hpp"
#include "files/file_url.hpp"
#include "files/outputs.hpp"
#include "files/staged_set.hpp"

#include <cstdio>
#include <memory>

namespace korvane {

int runDemo(const DemoOptions &opt) {
    std::vector<float> sound = synthesiseDemo(kDemoRate);
    std::string err;
    StagedSet out(opt.outDir);
    if (!out.prepare(err)) {
        std::fprintf(stderr, "korvane demo: %s\n", err.c_str());
        return 1;
    }
    if (!writeSound(out.stage("demo.wav"), sound.data(), static_cast<long>(sound.size()), 1, kDemoRate,
                    SampleFormat::Pcm16, err) ||
        !out.commit(err)) {
        std::fprintf(stderr, "korvane demo: %s\n", err.c_str());
        return 1;
    }
    if (!opt.quiet)
        std::printf("Made %s: %.1f s of kick, snare, hi-hat and bass at %d Hz.\n", out.finalPath("demo.wav").c_str(),
                    static_cast<double>(sound.size()) / kDemoRate, kDemoRate);

    DecomposeOptions d;
    d.input = out.finalPath("demo.wav");
    d.components = kDemoComponents;
    d.outDir = out.dir();
    d.plot = true;
    d.page = true;
    d.seed = 1;  // the same components on every run
    d.quiet = opt.quiet;
    d.verbose = opt.verbose;
    DecomposeReport report;
    int status = runDecompose(d, &report);
    if (status != 0) return status;
    if (!opt.quiet) {
        std::printf("Results in %s/:\n", report.outDir.c_str());
        for (const std::string &f : report.files) std::printf("  %s\n", f.c_str());
        std::printf("Open decomposition.png to see the spectrogram, the %d bases and their activations;\n"
                    "demo-c01.wav ... demo-c%02d.wav are the components, brightest first.\n",
                    kDemoComponents, kDemoComponents);
        std::printf("Open %s in a browser to hear the components, mix them and get the remix command:\n  %s\n",
                    "index.html", fileUrl(report.outDir + "/index.html").c_str());
    }
    return 0;
}

Command demoCommand() {
    return Command{"demo", "Synthesise a drum-and-bass loop and decompose it, with a picture",
                   [](CLI::App &cmd) -> CommandRun {
                       auto opt = std::make_shared<DemoOptions>();
                       cmd.add_option("-o,--out", opt->outDir, "Output folder")->capture_default_str();
                       cmd.add_flag("-q,--quiet", opt->quiet, "Print nothing but errors");
                       cmd.add_flag("-v,--verbose", opt->verbose, "Show each step of the decomposition");
                       return [opt] { return runDemo(*opt); };
                   }};
}

}  // namespace korvane
