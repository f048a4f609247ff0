// The sound file read, and the output folder made ready.
#include "decompose_steps.hpp"

namespace korvane {

namespace {

std::string baseName(const std::string &path) {
    std::string name = path;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    size_t slash = name.find_last_of('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name = name.substr(0, dot);
    return name.empty() ? std::string("sound") : name;
}

}  // namespace

std::string outputFolder(const DecomposeOptions &opt) {
    return opt.outDir.empty() ? baseName(opt.input) : opt.outDir;
}

int loadSound(Run &run, OutputSet &out) {
    std::string err;
    if (!readSound(run.opt.input, run.sound, err)) {
        fail(err);
        return 1;
    }
    run.name = baseName(run.opt.input);
    OutputSet::installSignalCleanup();
    if (!out.prepare(err)) {
        fail(err);
        return 1;
    }
    const SoundData &s = run.sound;
    say(run, "read buffer: %ld channels, %ld samples, %f sr", static_cast<long>(s.channels), s.frames,
        static_cast<double>(s.sampleRate));
    if (s.channels < 1) {
        fail("'" + run.opt.input + "' is too long or holds no channel");
        return 1;
    }
    return 0;
}

}  // namespace korvane
