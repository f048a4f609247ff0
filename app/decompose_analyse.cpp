// The analysis: the engine's shape and STFT with the options' window and hop.
#include "decompose_steps.hpp"

#include <cstdio>

namespace korvane {

namespace {

// What to change when the analysis is refused, as korvane~ words it.
const char *const kRefusals[][2] = {
    {"Error: window will be shorter than 2 samples. Try one of the following:",
     "Increase window length, check the sampling rate of the buffer."},
    {"Error: hop will be shorter than 1 sample. Try one of the following:", "Increase hop, increase window length."},
    {"Error: sound is too short for this window. Try one of the following:",
     "Load a longer sound, reduce window length."},
    {"Error: activations will exceed maximum length. Try one of the following:",
     "Reduce file length, increase window length, increase hop."},
    {"Error: bases will exceed maximum length. Try one of the following:",
     "Reduce window length, reduce sampling rate."},
};

}  // namespace

int analyseSound(Run &run) {
    kve_engine &e = run.engine.e;
    // single precision, as the object's setWin and setHop keep them
    if (run.opt.win) e.settings.window = static_cast<float>(*run.opt.win);
    if (run.opt.hop) e.settings.overlap = 1.0f - static_cast<float>(*run.opt.hop);
    kve_shapeDetail d{};
    kve_status st = kve_analyse(&e, &d);
    say(run, "winlength = %f, FFTsize = %.0f, hop = %.0f, frames = %.0f", static_cast<double>(e.settings.window),
        d.fftSize, d.hop, d.frames);
    if (st >= KVE_WINDOW_TOO_SHORT && st <= KVE_TOO_MANY_BINS) {
        fail("the analysis was refused:");
        for (const char *line : kRefusals[st - KVE_WINDOW_TOO_SHORT]) std::fprintf(stderr, "%s\n", line);
        return 1;
    }
    if (st != KVE_OK) {
        fail("not enough memory for the analysis");
        return 1;
    }
    say(run, "STFT computed");
    return 0;
}

}  // namespace korvane
