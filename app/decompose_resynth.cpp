// One sound per chosen component and, with --group, one of the group, all
// in one pass of the level-true resynthesis, each file written as its
// samples come. For an integer format that would clip, the pass is made
// again with one gain common to every file.
#include "decompose_steps.hpp"
#include "page/page.hpp"
#include "progress.hpp"

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace korvane {

namespace {

struct Output {
    std::string file, staged;
    std::vector<int> comps;          // from 0
    std::vector<float> *page = nullptr;   // the page's copy, with --page
    SNDFILE *sf = nullptr;
};

struct Pass {
    Run &run;
    std::vector<Output> outs;
    std::vector<std::vector<float>> pageSamples;
    std::vector<float> block;
    double gain = 1, peak = 0;
    long done = 0;                   // samples of all outputs, for the bar
    ProgressBar *bar = nullptr;
    std::string err;
};

int writeBlock(void *user, int output, long start, long count, const double *const *ch) {
    Pass &p = *static_cast<Pass *>(user);
    Output &o = p.outs[static_cast<size_t>(output)];
    const int channels = p.run.shape.channels;
    p.block.resize(static_cast<size_t>(count) * channels);
    for (long i = 0; i < count; ++i)
        for (int c = 0; c < channels; ++c) {
            double v = ch[c][i] * p.gain;
            p.peak = std::max(p.peak, std::fabs(v));
            p.block[static_cast<size_t>(i * channels + c)] = static_cast<float>(v);
        }
    if (sf_writef_float(o.sf, p.block.data(), count) != count) {
        p.err = "cannot write '" + OutputSet::shownPath(o.staged) + "': " + sf_strerror(o.sf);
        return 1;
    }
    if (o.page) o.page->insert(o.page->end(), p.block.begin(), p.block.end());
    p.done += count;
    if (p.bar) p.bar->update(static_cast<int>(p.done / std::max(1L, p.run.shape.length)));
    (void)start;
    return 0;
}

bool openAll(Pass &p) {
    for (Output &o : p.outs) {
        SF_INFO info;
        std::memset(&info, 0, sizeof info);
        info.samplerate = p.run.sound.sampleRate;
        info.channels = p.run.shape.channels;
        info.format = SF_FORMAT_WAV | (p.run.format == SampleFormat::Float ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
        o.sf = sf_open(o.staged.c_str(), SFM_WRITE, &info);
        if (!o.sf) {
            p.err = "cannot write '" + OutputSet::shownPath(o.staged) + "': " + sf_strerror(nullptr);
            return false;
        }
        // full-scale floats map to full-scale integers without wrapping
        sf_command(o.sf, SFC_SET_CLIPPING, nullptr, SF_TRUE);
        if (o.page) o.page->clear();
    }
    return true;
}

bool closeAll(Pass &p) {
    bool ok = true;
    for (Output &o : p.outs) {
        if (o.sf && sf_close(o.sf) != 0 && ok && p.err.empty()) {
            p.err = "cannot write '" + OutputSet::shownPath(o.staged) + "'";
            ok = false;
        }
        o.sf = nullptr;
    }
    return ok;
}

// One pass over the frames into every file; false and p.err on failure.
bool runPass(Pass &p) {
    p.peak = 0;
    p.done = 0;
    std::vector<kvs_output> outs;
    for (const Output &o : p.outs) outs.push_back({o.comps.data(), static_cast<int>(o.comps.size())});
    bool ok = openAll(p);
    if (ok) {
        int st = kvs_resynth(&p.run.shape, soundSource(p.run), p.run.W.data(), p.run.H.data(),
                             p.run.opt.components, outs.data(), static_cast<int>(outs.size()),
                             kvs_sink{writeBlock, &p}, 0);
        if (st != KVS_OK && p.err.empty())
            p.err = st == KVS_ERR_MEMORY ? "not enough memory for the resynthesis" : "the resynthesis failed";
        ok = st == KVS_OK;
    }
    return closeAll(p) && ok;
}

void planOutputs(Pass &p, OutputSet &out) {
    Run &run = p.run;
    if (run.opt.page) p.pageSamples.resize(run.chosen.size());
    for (size_t i = 0; i < run.chosen.size(); ++i) {
        std::string file = componentFile(run.name, run.chosen[i]);
        p.outs.push_back({file, out.stage(file), {run.chosen[i] - 1}, run.opt.page ? &p.pageSamples[i] : nullptr});
    }
    if (!run.grouped.empty()) {
        std::string file = run.name + "-group.wav";
        Output o{file, out.stage(file), {}, nullptr};
        for (int n : run.grouped) o.comps.push_back(n - 1);
        p.outs.push_back(o);
    }
}

bool encodeForPage(Pass &p) {
    Run &run = p.run;
    const int channels = run.shape.channels;
    const double seconds = static_cast<double>(run.shape.length) / run.sound.sampleRate;
    for (size_t i = 0; i < p.pageSamples.size(); ++i) {
        const std::vector<float> &s = p.pageSamples[i];
        std::string &audio = run.components[static_cast<size_t>(run.chosen[i] - 1)].pageAudio;
        if (!encodePageAudio(s.data(), static_cast<long>(s.size()) / channels, channels, run.sound.sampleRate,
                             pageAudioQuality(static_cast<int>(run.components.size()) + 1, seconds), audio, p.err))
            return false;
    }
    return true;
}

}  // namespace

int resynthesiseAndWrite(Run &run, OutputSet &out) {
    auto t0 = std::chrono::steady_clock::now();
    Pass p{run, {}, {}, {}, 1, 0, 0, nullptr, {}};
    planOutputs(p, out);
    ProgressBar bar("resynthesising", static_cast<int>(p.outs.size()), run.progress);
    p.bar = &bar;
    bool ok = runPass(p);
    if (ok && run.format != SampleFormat::Float && p.peak > 1.0) {
        p.gain = 0.999 / p.peak;
        if (!run.opt.quiet)
            std::printf("The components would clip: every file is scaled by %.4f (%.2f dB)\n", p.gain,
                        20 * std::log10(p.gain));
        ok = runPass(p);
    }
    if (ok) ok = encodeForPage(p);
    if (!ok) {
        fail(p.err);
        return 1;
    }
    run.commonGain = p.gain;
    for (const Output &o : p.outs) run.written.push_back(o.file);
    bar.finish();
    run.resynthSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return 0;
}

}  // namespace korvane
