#include "decompose/resynth_pass.hpp"

#include "cli/progress.hpp"
#include "files/pcm_words.hpp"
#include "files/write_behind.hpp"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace korvane {

namespace {

struct Pass {
    const PassSource &src;
    std::vector<PassFile> &files;
    const PassSettings &set;
    std::vector<SNDFILE *> open;
    std::vector<int> fds;           // their descriptors, owned by libsndfile
    std::vector<size_t> unflushed;  // bytes of each given to the writer since its last flush
    std::vector<float> block;       // the block as floats, for a float file or the tap
    double gain = 1, peak = 0;
    long done = 0;  // samples of all files, for the bar
    ProgressBar *bar = nullptr;
    std::unique_ptr<WriteBehind> writer;  // the blocks to the files while the next are computed
    std::string err;
};

// No sample that is not a number is ever written: the pass stops.
int notFinite(Pass &p, const PassFile &f) {
    p.err = "the resynthesis of '" + f.file + "' gave samples that are not finite numbers";
    if (!p.src.factorsFrom.empty()) p.err += " (the factors in " + p.src.factorsFrom + " are damaged)";
    return 1;
}

// false, with why a write fell short
bool wrote(SNDFILE *sf, const std::string &staged, std::string &err) {
    err = "cannot write '" + StagedSet::shownPath(staged) + "': " + sf_strerror(sf);
    return false;
}

// A file's bytes are handed to the disk every this many, so that the
// commit's flush does not wait for gigabytes at the end of a long run.
constexpr size_t kFlushBytes = size_t{32} << 20;

// Starts writing what fd holds so far out to the disk, without waiting;
// a hint, always true. fd < 0: nothing.
bool startDisk(int fd) {
#ifdef SYNC_FILE_RANGE_WRITE
    if (fd >= 0) sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)fd;
#endif
    return true;
}

// The block to the writer as the file's samples: nothing is written of a
// block that holds a sample that is not finite. The float block is made
// for a float file or the tap. S: the pass's precision.
template <typename S>
int writeBlockTo(Pass &p, int output, long count, const S *const *ch) {
    PassFile &f = p.files[static_cast<size_t>(output)];
    const int channels = p.src.shape->channels;
    const int bits = pcmBits(p.set.format);
    const bool tapped = f.tap >= 0 && p.set.tap;
    const size_t n = static_cast<size_t>(count) * channels;
    bool finite = true;
    if (!bits || tapped) {
        p.block.resize(n);
        finite = interleaveFloats(ch, channels, count, p.gain, p.block.data(), p.peak);
    }
    SNDFILE *sf = p.open[static_cast<size_t>(output)];
    const std::string *staged = &f.staged;
    size_t &unflushed = p.unflushed[static_cast<size_t>(output)];
    unflushed += n * (bits == 16 ? 2 : 4);
    const int flush = unflushed >= kFlushBytes ? p.fds[static_cast<size_t>(output)] : -1;
    if (flush >= 0) unflushed = 0;
    WriteBehind::Job job;
    if (finite && bits == 16) {
        std::vector<short> w(n);
        finite = interleaveShorts(ch, channels, count, p.gain, w.data(), p.peak);
        job = [sf, flush, staged, count, w = std::move(w)](std::string &err) {
            return (sf_writef_short(sf, w.data(), count) == count && startDisk(flush)) || wrote(sf, *staged, err);
        };
    } else if (finite && bits) {
        std::vector<std::int32_t> w(n);
        finite = interleaveWords(ch, channels, count, p.gain, bits, w.data(), p.peak);
        job = [sf, flush, staged, count, w = std::move(w)](std::string &err) {
            return (sf_writef_int(sf, w.data(), count) == count && startDisk(flush)) || wrote(sf, *staged, err);
        };
    } else if (finite) {
        job = [sf, flush, staged, count, b = p.block](std::string &err) {
            return (sf_writef_float(sf, b.data(), count) == count && startDisk(flush)) || wrote(sf, *staged, err);
        };
    }
    if (!finite) return notFinite(p, f);
    if (!p.writer->add(std::move(job), p.err)) return 1;
    if (tapped && !p.set.tap->block(f.tap, p.block.data(), count, p.err)) return 1;
    p.done += count;
    if (p.bar) p.bar->update(static_cast<int>(p.done / std::max(1L, p.src.shape->length)));
    return 0;
}

// nothing is thrown back through the engine
template <typename S>
int writeBlock(void *user, int output, long, long count, const S *const *ch) {
    Pass &p = *static_cast<Pass *>(user);
    try {
        return writeBlockTo(p, output, count, ch);
    } catch (const std::bad_alloc &) {
        p.err = "not enough memory for the resynthesis";
        return 1;
    }
}

bool openAll(Pass &p) {
    p.open.assign(p.files.size(), nullptr);
    p.fds.assign(p.files.size(), -1);
    p.unflushed.assign(p.files.size(), 0);
    for (size_t i = 0; i < p.files.size(); ++i) {
        SF_INFO info;
        std::memset(&info, 0, sizeof info);
        info.samplerate = p.src.sampleRate;
        info.channels = p.src.shape->channels;
        info.format = sndfileFormat(p.set.format);
        const int fd = open(p.files[i].staged.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        const std::string why = fd < 0 ? std::strerror(errno) : "";
        // libsndfile owns fd from here, and closes it when it cannot open
        p.open[i] = fd < 0 ? nullptr : sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
        if (!p.open[i]) {
            p.err = "cannot write '" + StagedSet::shownPath(p.files[i].staged) +
                    "': " + (fd < 0 ? why : std::string(sf_strerror(nullptr)));
            return false;
        }
        p.fds[i] = fd;
        // full-scale floats map to full-scale integers without wrapping
        sf_command(p.open[i], SFC_SET_CLIPPING, nullptr, SF_TRUE);
    }
    return true;
}

bool closeAll(Pass &p) {
    bool ok = true;
    for (size_t i = 0; i < p.open.size(); ++i) {
        if (p.open[i] && sf_close(p.open[i]) != 0 && ok && p.err.empty()) {
            p.err = "cannot write '" + StagedSet::shownPath(p.files[i].staged) + "'";
            ok = false;
        }
        p.open[i] = nullptr;
    }
    return ok;
}

// One pass over the frames into every file; false and p.err on failure.
bool runPass(Pass &p) {
    p.peak = 0;
    p.done = 0;
    std::vector<kve_output> outs;
    for (const PassFile &f : p.files) outs.push_back({f.comps.data(), static_cast<int>(f.comps.size())});
    bool ok = openAll(p);
    if (ok) {
        // two blocks of every file may wait to be written
        p.writer = std::make_unique<WriteBehind>(2 * p.files.size());
        int st = p.set.single ? kve_streamResynthSingleFiltered(p.src.shape, p.src.sound, p.src.W, p.src.H, p.src.K,
                                                                outs.data(), static_cast<int>(outs.size()),
                                                                kve_sinkSingle{writeBlock<float>, &p}, 0, p.set.filter)
                              : KVE_BAD_ARGUMENT;
        // double: asked for, or factors beyond float's range (refused before any block)
        if (st == KVE_BAD_ARGUMENT && p.done == 0)
            st = kve_streamResynthFiltered(p.src.shape, p.src.sound, p.src.W, p.src.H, p.src.K, outs.data(),
                                           static_cast<int>(outs.size()), kve_sink{writeBlock<double>, &p}, 0,
                                           p.set.filter);
        std::string werr;
        const bool written = p.writer->finish(werr);
        p.writer.reset();
        if (!written && p.err.empty()) p.err = werr;
        if (st != KVE_OK && p.err.empty())
            p.err = st == KVE_NO_MEMORY ? "not enough memory for the resynthesis" : "the resynthesis failed";
        ok = st == KVE_OK && written;
    }
    return closeAll(p) && ok;
}

int readChannels(void *user, long start, long count, double *const *ch) {
    const SoundData &s = *static_cast<const SoundData *>(user);
    for (int c = 0; c < s.channels; ++c)
        for (long i = 0; i < count; ++i) ch[c][i] = s.samples[static_cast<size_t>((start + i) * s.channels + c)];
    return 0;
}

}  // namespace

bool writeResynthesis(const PassSource &src, std::vector<PassFile> &files, const PassSettings &set, double &gain,
                      std::string &err) {
    // masks of the models to a power: the pass over powered factors
    std::vector<double> Wp, Hp;
    PassSource from = src;
    if (src.maskPower != 1) {
        const int rows = src.shape->rows, frames = static_cast<int>(src.shape->frames);
        try {
            Wp.resize(static_cast<size_t>(rows) * src.K);
            Hp.resize(static_cast<size_t>(src.K) * frames);
        } catch (const std::bad_alloc &) {
            err = "not enough memory for the resynthesis";
            return false;
        }
        kve_maskFactors(src.W, src.H, rows, frames, src.K, src.maskPower, Wp.data(), Hp.data());
        from.W = Wp.data();
        from.H = Hp.data();
    }
    Pass p{from, files, set, {}, {}, {}, {}, 1, 0, 0, nullptr, nullptr, {}};
    ProgressBar bar("resynthesising", static_cast<int>(files.size()), set.progress);
    p.bar = &bar;
    bool ok = runPass(p);
    if (ok && !isFloat(set.format) && kve_clipGain(p.peak) != 1.0) {
        p.gain = kve_clipGain(p.peak);
        if (!set.quiet)
            std::printf("The components would clip: every file is scaled by %.4f (%.2f dB)\n", p.gain,
                        20 * std::log10(p.gain));
        ok = (!set.tap || set.tap->restart(p.err)) && runPass(p);
    }
    if (!ok) {
        err = p.err;
        return false;
    }
    bar.finish();
    gain = p.gain;
    return true;
}

std::string groupFile(const std::string &name, size_t index, size_t count, const char *ext) {
    return name + "-group" + (count == 1 ? std::string() : std::to_string(index + 1)) + ext;
}

kve_source soundDataSource(const SoundData &s) {
    return kve_source{readChannels, const_cast<SoundData *>(&s)};
}

}  // namespace korvane
