// The sound file read, and the output folder made ready.
#include "decompose/decompose_steps.hpp"
#include "files/stdin_sound.hpp"

#include <cstdlib>

namespace korvane {

namespace {

// Browsers play Web Audio at 3000 Hz and above; a page of a slower sound
// could not play.
constexpr int kPageLowestRate = 3000;

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
        err = "--page holds the whole sound in the page, and '" + shownInput(run.opt) +
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
    return opt.outDir.empty() ? runName(opt) : opt.outDir;
}

std::string runName(const DecomposeOptions &opt) {
    return opt.fromStdin ? std::string(kStdinStem) : baseName(opt.input);
}

int loadSound(Run &run, OutputSet &out) {
    std::string err;
    if (!(streamed(run) ? openStream(run, err) : readSound(run.opt.input, run.sound, err))) {
        fail(run.opt.fromStdin ? stdinWording(err, run.opt.input) : err);
        return 1;
    }
    if (run.opt.page && run.sound.sampleRate < kPageLowestRate) {
        fail("--page: '" + shownInput(run.opt) + "' has " + std::to_string(run.sound.sampleRate) +
             " samples a second and a browser plays " + std::to_string(kPageLowestRate) +
             " or more, so its page could not play; leave out --page (or resample the sound)");
        return 1;
    }
    run.name = runName(run.opt);
    OutputSet::installSignalCleanup();
    if (!out.prepare(err)) {
        fail(err);
        return 1;
    }
    const SoundData &s = run.sound;
    say(run, "read buffer: %ld channels, %ld samples, %f sr", static_cast<long>(s.channels), s.frames,
        static_cast<double>(s.sampleRate));
    if (s.channels < 1) {
        fail("'" + shownInput(run.opt) + "' is too long or holds no channel");
        return 1;
    }
    return 0;
}

}  // namespace korvane
