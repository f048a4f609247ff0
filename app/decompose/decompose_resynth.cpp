// One sound per chosen component and one per --group, all in one pass of
// the level-true resynthesis (resynth_pass.hpp), in the run's sample format.
#include "decompose/decompose_steps.hpp"
#include "cli/progress.hpp"
#include "decompose/resynth_pass.hpp"
#include "page/page.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

namespace korvane {

namespace {

std::vector<PassFile> planFiles(Run &run, StagedSet &out) {
    const char *ext = fileExtension(run.format);
    std::vector<PassFile> files;
    for (size_t i = 0; i < run.chosen.size(); ++i) {
        std::string file = componentFile(run.name, run.chosen[i], ext);
        // the page's stream 0 is the input, i + 1 the i-th chosen component
        files.push_back({file, out.stage(file), innerOf(run, run.chosen[i] - 1), run.opt.page ? int(i) + 1 : -1});
    }
    for (size_t g = 0; g < run.groups.size(); ++g) {
        std::string file = groupFile(run.name, g, run.groups.size(), ext);
        PassFile f{file, out.stage(file), {}, -1};
        for (int n : run.groups[g])
            for (int i : innerOf(run, n - 1)) f.comps.push_back(i);
        files.push_back(f);
    }
    return files;
}

// The first two channels of interleaved samples: what the page plays.
std::vector<float> firstTwo(const float *interleaved, long frames, int channels) {
    std::vector<float> two(static_cast<size_t>(frames) * 2);
    for (size_t i = 0; i < static_cast<size_t>(frames); ++i)
        for (size_t c = 0; c < 2; ++c) two[i * 2 + c] = interleaved[i * static_cast<size_t>(channels) + c];
    return two;
}

// The page's stream 0: the input, in pieces that a stop or the bar need not
// wait long for.
void addInput(const SoundData &sound, PageAudioEncoder &e) {
    const long piece = 1L << 16;
    for (long at = 0; at < sound.frames; at += piece) {
        const float *from = sound.samples.data() + static_cast<size_t>(at) * static_cast<size_t>(sound.channels);
        const long n = std::min(piece, sound.frames - at);
        if (sound.channels <= 2)
            e.add(0, from, n, true);
        else
            e.add(0, firstTwo(from, n, sound.channels));
    }
}

// The page's encoder, started on the input, each stream at the bitrate the
// page is written with.
std::unique_ptr<PageAudioEncoder> startPageAudio(Run &run, std::string &err) {
    const SoundData &sound = run.sound;
    std::vector<PageAudioEncoder::Stream> streams;
    // one bitrate for every stream: the one the page records, for the
    // streams it holds (the input and the chosen components)
    const int bitrate =
        pageAudioBitrate(static_cast<int>(run.chosen.size()) + 1, static_cast<double>(sound.frames) / sound.sampleRate);
    streams.push_back({sound.channels > 1 ? 2 : 1, bitrate});
    for (size_t i = 0; i < run.chosen.size(); ++i) streams.push_back({std::min(run.shape.channels, 2), bitrate});
    const int threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 2u));
    auto e = std::make_unique<PageAudioEncoder>(std::move(streams), sound.sampleRate, threads);
    if (!e->start(err)) return nullptr;
    addInput(sound, *e);
    return e;
}

// The resynthesised blocks to the page's encoder as they come.
class EncoderTap : public PassTap {
public:
    EncoderTap(PageAudioEncoder &e, const SoundData &sound) : e_(e), sound_(sound) {}
    bool block(int stream, const float *interleaved, long frames, std::string &err) override {
        try {
            if (sound_.channels <= 2)
                e_.add(stream, interleaved, frames);
            else
                e_.add(stream, firstTwo(interleaved, frames, sound_.channels));
        } catch (const std::bad_alloc &) {
            err = "not enough memory for the page's audio";
            return false;
        }
        return true;
    }
    // every stream again, the input's too
    bool restart(std::string &err) override {
        if (!e_.restart(err)) return false;
        addInput(sound_, e_);
        return true;
    }

private:
    PageAudioEncoder &e_;
    const SoundData &sound_;
};

}  // namespace

int resynthesiseAndWrite(Run &run, StagedSet &out) {
    auto t0 = std::chrono::steady_clock::now();
    std::string err;
    if (!chooseFormat(run.opt.format, run.opt.input, run.format, err)) {
        fail(err);
        return 1;
    }
    std::vector<PassFile> files = planFiles(run, out);
    // the page's sounds are encoded beside the pass, and after it until the page is written
    run.pageAudio.reset();
    std::unique_ptr<EncoderTap> tap;
    if (run.opt.page) {
        run.pageAudio = startPageAudio(run, err);
        if (!run.pageAudio) {
            fail(err);
            return 1;
        }
        tap = std::make_unique<EncoderTap>(*run.pageAudio, run.sound);
    }
    PassSource src{&run.shape, soundSource(run), run.W.data(), run.H.data(), run.inner, run.sound.sampleRate, {}};
    src.maskPower = run.maskPower;
    PassSettings set{run.format, run.opt.quiet, run.progress, tap.get(), run.precision == "single", run.filter};
    if (!writeResynthesis(src, files, set, run.commonGain, err)) {
        run.pageAudio.reset();
        fail(err);
        return 1;
    }
    for (const PassFile &f : files) run.written.push_back(f.file);
    run.resynthSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return 0;
}

int finishPageAudio(Run &run) {
    if (!run.pageAudio) return 0;
    std::unique_ptr<PageAudioEncoder> e = std::move(run.pageAudio);
    ProgressBar bar("encoding page", 100, run.progress);
    std::vector<std::string> bytes;
    std::string err;
    const bool ok = e->finish(bytes, err, [&](long done, long total) {
        bar.update(total > 0 ? static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total)) : 0);
    });
    e.reset();
    if (!ok) {
        fail(err);
        return 1;
    }
    bar.finish();
    run.pageOriginal = std::move(bytes[0]);
    for (size_t i = 0; i < run.chosen.size(); ++i)
        run.components[static_cast<size_t>(run.chosen[i] - 1)].pageAudio = std::move(bytes[i + 1]);
    return 0;
}

}  // namespace korvane
