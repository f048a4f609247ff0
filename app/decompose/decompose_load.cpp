// The sound file read, and the output folder made ready.
#include "decompose/decompose_steps.hpp"

#include <cstdlib>

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

// Sounds above this many bytes as floats are read from the file pass by
// pass: KORVANE_STREAM_ABOVE (for tests), else 64 MB.
double streamAbove() {
    const char *v = std::getenv("KORVANE_STREAM_ABOVE");
    return v ? std::strtod(v, nullptr) : 64e6;
}

bool streamed(const Run &run) {
    return claimedSoundBytes(run.opt.input) > streamAbove();
}

bool openStream(Run &run, std::string &err) {
    run.stream = std::make_shared<SoundStream>();
    if (!run.stream->open(run.opt.input, err)) return false;
    if (run.opt.page) {
        err = "--page holds the whole sound in the page, and '" + run.opt.input +
              "' is read from its file as too large to hold; leave out --page";
        return false;
    }
    run.sound.channels = run.stream->channels;
    run.sound.sampleRate = run.stream->sampleRate;
    run.sound.frames = run.stream->frames;
    return true;
}

}  // namespace

std::string outputFolder(const DecomposeOptions &opt) {
    return opt.outDir.empty() ? baseName(opt.input) : opt.outDir;
}

int loadSound(Run &run, OutputSet &out) {
    std::string err;
    if (!(streamed(run) ? openStream(run, err) : readSound(run.opt.input, run.sound, err))) {
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
