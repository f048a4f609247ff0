// One sound per chosen component and, with --group, one of the group: each
// made through the engine's mask from the components' list forms, as a
// patch sending the lists back to korvane~ would make it, and written on a
// second thread while the next is made.
#include "decompose_steps.hpp"
#include "page/page.hpp"
#include "progress.hpp"

#include <chrono>
#include <future>

namespace korvane {

namespace {

class Writer {
public:
    Writer(Run &run, OutputSet &out) : run_(run), out_(out) {}
    ~Writer() { finish(); }

    // Starts writing the engine's last output as file; false when an
    // earlier write failed.
    bool write(const std::string &file, std::string *pageAudio) {
        const kve_engine &e = run_.e();
        const int channels = run_.sound.channels > 1 ? 2 : 1;
        // two sample buffers taken in turn: the one a write in flight reads
        // is never the one being filled
        std::vector<float> &data = frames_[turn_];
        turn_ = 1 - turn_;
        data.resize(static_cast<size_t>(e.outLength) * channels);
        for (int i = 0; i < e.outLength; ++i) {
            data[static_cast<size_t>(i) * channels] = static_cast<float>(e.outL[i]);
            if (channels == 2) data[static_cast<size_t>(i) * 2 + 1] = static_cast<float>(e.outR[i]);
        }
        if (!finish()) return false;
        pendingFile_ = file;
        pending_ = std::async(std::launch::async, [samples = data.data(), path = out_.stage(file),
                                                   frames = static_cast<long>(e.outLength), channels,
                                                   rate = run_.sound.sampleRate, fmt = run_.format,
                                                   pageAudio, K = static_cast<int>(run_.components.size())]() {
            std::string werr;
            writeSound(path, samples, frames, channels, rate, fmt, werr);
            if (werr.empty() && pageAudio)   // the page's copy, encoded on the same thread
                encodePageAudio(samples, frames, channels, rate,
                                pageAudioQuality(K + 1, static_cast<double>(frames) / rate), *pageAudio, werr);
            return werr;
        });
        return true;
    }

    // Waits for the write in flight; false (and the message shown) when it failed.
    bool finish() {
        if (!pending_.valid()) return true;
        std::string werr = pending_.get();
        if (!werr.empty()) {
            fail(werr);
            return false;
        }
        run_.written.push_back(pendingFile_);
        return true;
    }

private:
    Run &run_;
    OutputSet &out_;
    std::future<std::string> pending_;
    std::string pendingFile_;
    std::vector<float> frames_[2];
    int turn_ = 0;
};

// The listed components (numbers from 1) through one mask into the engine's output.
bool compose(Run &run, const std::vector<int> &numbers, const std::string &file) {
    kve_engine &e = run.engine.e;
    std::vector<double> w(static_cast<size_t>(e.numBins));
    for (int number : numbers) {
        const Component &c = run.components[static_cast<size_t>(number - 1)];
        kve_decodeBasis(c.listForm.data(), static_cast<long>(w.size()), w.data());
        if (kve_addLayer(&e, w.data(), static_cast<long>(w.size()), c.activation.data(),
                         static_cast<long>(c.activation.size())) != KVE_OK) {
            fail("component " + std::to_string(number) + " cannot be put into the mask of " + file);
            return false;
        }
    }
    kve_status st = kve_resynthesise(&e);
    kve_clearMask(&e);
    if (st != KVE_OK) {
        fail(st == KVE_NOT_FINITE ? "the resynthesis of " + file + " is not finite"
                                  : "not enough memory for the resynthesis of " + file);
        return false;
    }
    return true;
}

}  // namespace

int resynthesiseAndWrite(Run &run, OutputSet &out) {
    auto t0 = std::chrono::steady_clock::now();
    int total = static_cast<int>(run.chosen.size()) + (run.grouped.empty() ? 0 : 1);
    ProgressBar bar("resynthesising", total, run.progress);
    Writer writer(run, out);
    int done = 0;
    bool ok = true;
    for (int number : run.chosen) {
        std::string file = componentFile(run.name, number);
        std::string *pageAudio =
            run.opt.page ? &run.components[static_cast<size_t>(number - 1)].pageAudio : nullptr;
        if (!(ok = compose(run, {number}, file) && writer.write(file, pageAudio))) break;
        bar.update(++done);
    }
    if (ok && !run.grouped.empty()) {
        std::string file = run.name + "-group.wav";
        ok = compose(run, run.grouped, file) && writer.write(file, nullptr);
        if (ok) bar.update(++done);
    }
    // a failed step still waits for the write in flight before leaving
    if (!writer.finish() || !ok) return 1;
    bar.finish();
    run.resynthSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return 0;
}

}  // namespace korvane
