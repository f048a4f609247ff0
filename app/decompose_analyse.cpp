// The analysis: the padded framing of the options' window and hop, and the
// magnitude spectrogram V read straight from the sound.
#include "decompose_steps.hpp"

#include <algorithm>
#include <cstdio>

namespace korvane {

namespace {

int readChannels(void *user, long start, long count, double *const *ch) {
    const SoundData &s = *static_cast<const SoundData *>(user);
    const int used = std::min(s.channels, 2);
    for (int c = 0; c < used; ++c)
        for (long i = 0; i < count; ++i)
            ch[c][i] = s.samples[static_cast<size_t>((start + i) * s.channels + c)];
    return 0;
}

// A refusal of the shape, with the numbers to change to.
void refuse(int st, const kvs_shape &s) {
    fail("the analysis was refused:");
    switch (st) {
    case KVS_ERR_WINDOW:
        std::fprintf(stderr, "Error: window will be shorter than 2 samples. Try one of the following:\n"
                             "Increase window length, check the sampling rate of the buffer.\n");
        break;
    case KVS_ERR_HOP_SHORT:
        std::fprintf(stderr, "Error: hop will be shorter than 1 sample. Try one of the following:\n"
                             "Increase hop, increase window length.\n");
        break;
    case KVS_ERR_HOP_LONG:
        std::fprintf(stderr, "Error: hop leaves samples too thinly covered to resynthesise.\n"
                             "Use --hop %.3f or less.\n", s.longest_hop);
        break;
    case KVS_ERR_SHORT:
        std::fprintf(stderr, "Error: sound is too short for this window. Try one of the following:\n"
                             "Load a sound of at least %.4f s, or use --win %.4f or less.\n",
                     s.shortest_sound, s.longest_window);
        break;
    default:
        std::fprintf(stderr, "Error: the sound is too long for these sizes. Try a longer hop or window.\n");
    }
}

}  // namespace

kvs_source soundSource(const Run &run) {
    return kvs_source{readChannels, const_cast<SoundData *>(&run.sound)};
}

std::vector<double> shownMagnitude(const Run &run) {
    const kvs_shape &s = run.shape;
    const size_t n = static_cast<size_t>(s.bins) * static_cast<size_t>(s.frames);
    std::vector<double> m(run.V.begin(), run.V.begin() + static_cast<long>(n));
    for (size_t i = n; i < run.V.size(); ++i) m[i - n] += run.V[i];
    return m;
}

int analyseSound(Run &run) {
    const kve_settings d = kve_defaultSettings();
    // single precision, as the object's setWin and setHop keep them
    const double win = run.opt.win ? static_cast<float>(*run.opt.win) : d.window;
    const float hop = run.opt.hop ? static_cast<float>(*run.opt.hop) : 1.0f - d.overlap;
    const int channels = std::min(run.sound.channels, 2);
    kvs_rows mode = run.channelMode == "stack" && channels == 2 ? KVS_STACK : KVS_SUM;
    if (channels == 1) run.channelMode = "sum";
    kvs_shape &s = run.shape;
    int st = kvs_shape_make(win, hop, run.sound.sampleRate, run.sound.frames, channels, mode, &s);
    say(run, "winlength = %f, FFTsize = %d, hop = %d, frames = %ld", win, s.N, s.hop, s.frames);
    if (st != KVS_OK) {
        refuse(st, s);
        return 1;
    }
    // the engine's record keeps the sizes the JSON reads
    kve_engine &e = run.engine.e;
    e.fftSize = s.N;
    e.hopSize = s.hop;
    e.numBins = s.bins;
    e.numFrames = s.frames;
    try {
        run.V.assign(static_cast<size_t>(s.rows) * static_cast<size_t>(s.frames), 0.0);
    } catch (const std::bad_alloc &) {
        fail("not enough memory for the analysis");
        return 1;
    }
    st = kvs_analyse(&s, soundSource(run), run.V.data(), 0);
    if (st == KVS_ERR_NOT_FINITE) {
        fail("'" + run.opt.input + "' holds samples that are not finite numbers");
        return 1;
    }
    if (st != KVS_OK) {
        fail("not enough memory for the analysis");
        return 1;
    }
    say(run, "STFT computed");
    return 0;
}

}  // namespace korvane
