// The analysis: the padded framing of the options' window and hop, and the
// magnitude spectrogram V read straight from the sound.
#include "decompose/decompose_steps.hpp"
#include "decompose/resynth_pass.hpp"
#include "files/memory_policy.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <string>

namespace korvane {

namespace {

// The sound read from the file, a block ahead; a failure is told here, once.
int streamChannels(void *user, long start, long count, double *const *ch) {
    const Run &run = *static_cast<const Run *>(user);
    if (run.streamAhead->read(start, count, ch)) return 0;
    fail(run.stream->error());
    return 1;
}

// x cut down to the fewest decimals, from `least`, whose count
// (value x `scale`, rounded) is still at least `lo` and not above x's: a
// figure that is accepted when given back. Empty when none to nine
// decimals is.
std::string downTo(double x, int least, double scale, double lo) {
    const double most = std::round(x * scale);
    for (int d = least; d <= 9; ++d) {
        const double p = std::pow(10.0, d);
        double v = std::floor(x * p + 1e-7) / p;  // 0.05 stays 0.0500
        if (std::round(v * scale) > most) v -= 1 / p;
        if (std::round(v * scale) >= lo) {
            char text[32];
            std::snprintf(text, sizeof text, "%.*f", d, v);
            return text;
        }
    }
    return "";
}

// A refusal of the shape, with the numbers to change to.
void refuse(int st, const kve_streamShape &s, double rate) {
    fail("the analysis was refused:");
    switch (st) {
    case KVE_WINDOW_TOO_SHORT:
        std::fprintf(stderr, "Error: window will be shorter than 2 samples. Try one of the following:\n"
                             "Increase window length, check the sampling rate of the buffer.\n");
        break;
    case KVE_HOP_TOO_SHORT:
        std::fprintf(stderr, "Error: hop will be shorter than 1 sample. Try one of the following:\n"
                             "Increase hop, increase window length.\n");
        break;
    case KVE_HOP_TOO_LONG:
        // rounded down: a hop rounded up past the longest is refused again
        std::fprintf(stderr,
                     "Error: hop leaves samples too thinly covered to resynthesise.\n"
                     "Use --hop %s or less.\n",
                     downTo(s.longestHop, 3, s.shortestSound * rate, 1).c_str());
        break;
    case KVE_SOUND_TOO_SHORT: {
        // a window of fewer than 2 samples is refused: a sound that short
        // fits no window
        const std::string win = downTo(s.longestWindow, 4, rate, 2);
        const double shortest = std::ceil(s.shortestSound * 1e4 - 1e-7) / 1e4;
        std::fprintf(stderr, "Error: sound is too short for this window. Try one of the following:\n");
        if (win.empty())
            std::fprintf(stderr, "Load a sound of at least %.4f s.\n", shortest);
        else
            std::fprintf(stderr, "Load a sound of at least %.4f s, or use --win %s or less.\n", shortest, win.c_str());
        break;
    }
    default:
        std::fprintf(stderr, "Error: the sound is too long for these sizes. Try a longer hop or window.\n");
    }
}

// The engine's estimate of the run, the samples held, and the shown
// magnitude of the picture or page.
double memoryEstimate(const Run &run) {
    const kve_streamShape &s = run.shape;
    const int outs = static_cast<int>(run.chosen.size()) + static_cast<int>(run.groups.size());
    const int rich = run.poolFromFit ? kve_richPoolMost(&s, &run.model, run.opt.components) : 0;
    const int hits =
        run.poolFromFit && !run.opt.span ? run.opt.components * kve_hitSpanMost(&s, &run.model, run.opt.components) : 0;
    const int factored = std::max({run.opt.components * run.model.span, run.pool * run.model.span, rich, hits});
    double bytes = kve_runMemory(&s, factored, outs);
    bytes += sizeof(float) * static_cast<double>(run.sound.samples.capacity());
    if (run.opt.plot || run.opt.page) bytes += 8.0 * s.bins * s.frames;
    return bytes;
}

bool fitsInMemory(const Run &run) {
    const MemoryCap &cap = memoryCap();
    const double need = memoryEstimate(run);
    if (kve_fitsMemory(need, cap.bytes)) return true;
    fail("'" + shownInput(run.opt) + "': the run needs about " + megabytes(need) + " and the machine has " +
         megabytes(cap.bytes) +
         " available. Try a shorter sound, a longer --hop or --win, or fewer components. The cap is " + cap.from + ".");
    return false;
}

// More components than the spectrogram has frames or rows cannot all
// differ (its rank is at most the fewer); the run goes on, told so.
void warnAboveRank(const Run &run) {
    const kve_streamShape &s = run.shape;
    const int K = run.opt.components;
    if (run.opt.quiet || (K <= s.frames && K <= s.rows)) return;
    const bool byFrames = s.frames <= s.rows;
    const long most = byFrames ? s.frames : s.rows;
    std::fprintf(stderr,
                 "korvane decompose: warning: %d components of a spectrogram of %ld %s: at most %ld can differ "
                 "(%s)\n",
                 K, most, byFrames ? "frames" : "rows", most,
                 byFrames ? "fewer components, a longer sound or a shorter --hop or --win give room"
                          : "fewer components or a longer --win give room");
}

}  // namespace

kve_source soundSource(const Run &run) {
    if (run.stream) return kve_source{streamChannels, const_cast<Run *>(&run)};
    return soundDataSource(run.sound);
}

std::vector<double> shownMagnitude(const Run &run) {
    const kve_streamShape &s = run.shape;
    const size_t n = static_cast<size_t>(s.bins) * static_cast<size_t>(s.frames);
    std::vector<double> m(run.V.begin(), run.V.begin() + static_cast<long>(n));
    for (size_t i = n; i < run.V.size(); ++i) m[i % n] += static_cast<double>(run.V[i]);
    return m;
}

int analyseSound(Run &run) {
    const kve_settings d = kve_defaultSettings();
    // single precision, as the object's setWin and setHop keep them
    const double win = run.opt.win ? static_cast<float>(*run.opt.win) : d.window;
    const float hop = run.opt.hop ? static_cast<float>(*run.opt.hop) : 1.0f - d.overlap;
    const int channels = run.sound.channels;
    if (channels > KVE_MOST_CHANNELS) {
        fail("'" + shownInput(run.opt) + "' has " + std::to_string(channels) + " channels, more than the " +
             std::to_string(KVE_MOST_CHANNELS) + " korvane decomposes");
        return 1;
    }
    kve_rows mode = run.channelMode == "stack" && channels >= 2 ? KVE_STACK : KVE_SUM;
    if (channels == 1) run.channelMode = "sum";
    kve_streamShape &s = run.shape;
    if (run.opt.fft && std::round(win * run.sound.sampleRate) > static_cast<double>(*run.opt.fft)) {
        fail("--fft " + std::to_string(*run.opt.fft) + " is shorter than the window of " +
             std::to_string(static_cast<long>(std::round(win * run.sound.sampleRate))) +
             " samples; leave out --fft or give a power of two at or above it");
        return 1;
    }
    int st = kve_streamShapeFft(win, hop, run.opt.fft.value_or(0), run.sound.sampleRate, run.sound.frames, channels,
                                mode, &s);
    say(run, "winlength = %f, FFTsize = %d, hop = %d, frames = %ld", win, s.N, s.hop, s.frames);
    if (st != KVE_OK) {
        refuse(st, s, run.sound.sampleRate);
        return 1;
    }
    resolveModel(run);
    if (!fitsInMemory(run)) return 1;
    warnAboveRank(run);
    try {
        // every cell is written by the analysis: no zeroing pass first
        run.V.resize(static_cast<size_t>(s.rows) * static_cast<size_t>(s.frames));
    } catch (const std::bad_alloc &) {
        fail("not enough memory for the analysis");
        return 1;
    }
    st = kve_streamAnalyseFloat(&s, soundSource(run), run.V.data(), 0);
    if (st == KVE_NOT_FINITE) {
        char most[32];
        std::snprintf(most, sizeof most, "%.3g", FLT_MAX / (2.0 * s.N) / (s.stacked ? 1 : channels));
        fail("'" + shownInput(run.opt) + "' holds samples that are not finite numbers, or beyond " + most +
             " (too large for its spectra)");
        return 1;
    }
    if (st == KVE_SOURCE_FAILED) return 1;  // the stream said why
    if (st != KVE_OK) {
        fail("not enough memory for the analysis");
        return 1;
    }
    say(run, "STFT computed");
    return 0;
}

}  // namespace korvane
