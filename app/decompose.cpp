#include "decompose.hpp"

#include "maxhost.hpp"
#include "outputs.hpp"
#include "page/page.hpp"
#include "plugin_dirs.hpp"
#include "plot.hpp"
#include "progress.hpp"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <set>

namespace korvane {

namespace {

using Clock = std::chrono::steady_clock;
double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Library entry points reached inside the loaded plug-in, so that every
// number the front end shows comes from the same code the object runs.
using HookFn = void (*)(int, int, void *);
using SetHookFn = void (*)(HookFn, void *);
using CentroidFn = double (*)(const double *, int);
struct OpaqueSetup;
using CreateSetupFn = OpaqueSetup *(*)(unsigned long, int);
using DestroySetupFn = void (*)(OpaqueSetup *);
using StftFn = int (*)(OpaqueSetup *, const double *, int, int, int, double *, double *);

const char *kObjectId = "korvane";
const char *kInBuffer = "korvane_in";
const char *kClass = "korvane~";

void fail(const std::string &msg) { std::fprintf(stderr, "korvane decompose: %s\n", msg.c_str()); }

std::string stripNewlines(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

std::string baseName(const std::string &path) {
    std::string name = path;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    size_t slash = name.find_last_of('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name = name.substr(0, dot);
    return name.empty() ? std::string("sound") : name;
}

std::string componentFile(const std::string &name, int number) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "-c%02d.wav", number);
    return name + buf;
}

t_atom floatAtom(double v) {
    t_atom a;
    atom_setfloat(&a, v);
    return a;
}

// Everything the object says and sends during one run.
struct Session {
    bool verbose = false;
    std::vector<maxhost::ConsoleLine> lines;
    size_t errorsShown = 0;
    std::vector<std::vector<double>> acts, bases;
    int bangs = 0;

    void attach() {
        maxhost::setConsoleSink([this](const maxhost::ConsoleLine &l) {
            lines.push_back(l);
            if (verbose) {
                std::FILE *to = l.error ? stderr : stdout;
                std::fprintf(to, "%s\n", stripNewlines(l.text).c_str());
                std::fflush(to);
            }
        });
        maxhost::setOutletSink([this](const std::string &id, long outlet, t_symbol *, short argc,
                                      const t_atom *argv) {
            if (id != kObjectId) return;
            if (outlet == 2) {
                ++bangs;
                return;
            }
            std::vector<double> v(static_cast<size_t>(std::max<short>(argc, 0)));
            for (short i = 0; i < argc; ++i) v[static_cast<size_t>(i)] = atom_getfloat(argv + i);
            (outlet == 0 ? acts : bases).push_back(std::move(v));
        });
    }
    // Error lines posted since the last call.
    std::vector<std::string> newErrors() {
        std::vector<std::string> out;
        size_t seen = 0;
        for (const auto &l : lines) {
            if (!l.error) continue;
            if (seen++ >= errorsShown) out.push_back(stripNewlines(l.text));
        }
        errorsShown = seen;
        return out;
    }
};

// Shows the object's refusal verbatim (already shown when verbose).
void reportRefusal(const std::vector<std::string> &errors, bool verbose, const std::string &fallback) {
    if (errors.empty()) {
        fail(fallback);
        return;
    }
    if (verbose) {
        fail("korvane~ refused (its lines are above)");
        return;
    }
    fail("korvane~ refused:");
    for (const std::string &e : errors) std::fprintf(stderr, "%s\n", e.c_str());
}

// The input's magnitude spectrogram for the picture: the library's STFT,
// reached inside the plug-in, of the sound the object factorised (the sum of
// the first two channels), with the object's FFT size, hop and frame count.
// Without that entry point the model W.H of the lists stands in.
std::vector<double> spectrogramForPicture(const SoundData &sound, int fftSize, int hop, int frames,
                                          const std::vector<std::vector<double>> &w,
                                          const std::vector<std::vector<double>> &acts) {
    const int bins = fftSize / 2 + 1;
    const size_t cells = static_cast<size_t>(bins) * static_cast<size_t>(frames);
    std::vector<double> mag;
    auto stft = reinterpret_cast<StftFn>(maxhost::pluginSymbol(kClass, "qm_STFT"));
    auto mkSetup = reinterpret_cast<CreateSetupFn>(maxhost::pluginSymbol(kClass, "vDSP_create_fftsetupD"));
    auto rmSetup = reinterpret_cast<DestroySetupFn>(maxhost::pluginSymbol(kClass, "vDSP_destroy_fftsetupD"));
    if (stft && mkSetup && rmSetup && static_cast<long>(frames - 1) * hop + fftSize <= sound.frames) {
        std::vector<double> x(static_cast<size_t>(sound.frames));
        for (long i = 0; i < sound.frames; ++i) {
            const float *f = &sound.samples[static_cast<size_t>(i) * sound.channels];
            x[static_cast<size_t>(i)] = f[0] + (sound.channels > 1 ? f[1] : 0.0f);
        }
        int log2n = static_cast<int>(std::log2(static_cast<double>(fftSize)));
        OpaqueSetup *setup = mkSetup(static_cast<unsigned long>(log2n), 0);
        std::vector<double> re(cells), im(cells);
        if (setup && stft(setup, x.data(), fftSize, frames, hop, re.data(), im.data()) == 0) {
            mag.resize(cells);
            for (size_t i = 0; i < cells; ++i) mag[i] = std::hypot(re[i], im[i]);
        }
        if (setup) rmSetup(setup);
    }
    if (mag.empty()) {
        mag.assign(cells, 0.0);
        for (size_t k = 0; k < w.size(); ++k)
            for (int b = 0; b < bins; ++b)
                for (int t = 0; t < frames; ++t)
                    mag[static_cast<size_t>(b) * frames + t] +=
                        w[k][static_cast<size_t>(b)] * acts[k][static_cast<size_t>(t)];
    }
    return mag;
}

// What components.json records besides the lists.
struct Record {
    const DecomposeOptions &opt;
    const SoundData &sound;
    const std::vector<int> &chosen, &grouped;
    const std::string &name;
    int fftSize, hop, bins, frames;
};

nlohmann::ordered_json componentsJson(const Record &r, const std::vector<std::vector<double>> &w,
                                      const std::vector<std::vector<double>> &acts,
                                      const std::vector<double> &centroidHz) {
    using json = nlohmann::ordered_json;
    auto orNull = [](const auto &o) { return o ? json(*o) : json(nullptr); };
    json j;
    j["input"] = r.opt.input;
    j["settings"] = {{"components", r.opt.components}, {"win", orNull(r.opt.win)},
                     {"hop", orNull(r.opt.hop)},        {"seed", orNull(r.opt.seed)},
                     {"format", r.opt.format},          {"only", r.chosen},
                     {"group", r.grouped}};
    j["sample_rate"] = r.sound.sampleRate;
    j["channels"] = r.sound.channels;
    j["samples"] = r.sound.frames;
    j["fft_size"] = r.fftSize;
    j["hop"] = r.hop;
    j["bins"] = r.bins;
    j["frames"] = r.frames;
    std::vector<double> binHz(static_cast<size_t>(r.bins)), frameSec(static_cast<size_t>(r.frames));
    for (int b = 0; b < r.bins; ++b) binHz[static_cast<size_t>(b)] = b * r.sound.sampleRate / static_cast<double>(r.fftSize);
    // A frame's time is that of its centre.
    for (int t = 0; t < r.frames; ++t)
        frameSec[static_cast<size_t>(t)] = (static_cast<double>(t) * r.hop + r.fftSize / 2.0) / r.sound.sampleRate;
    j["bin_frequencies"] = binHz;
    j["frame_times"] = frameSec;
    json comps = json::array();
    for (size_t k = 0; k < w.size(); ++k) {
        int number = static_cast<int>(k) + 1;
        bool hasFile = std::find(r.chosen.begin(), r.chosen.end(), number) != r.chosen.end();
        double hz = centroidHz[k];
        comps.push_back({{"number", number},
                         {"file", hasFile ? json(componentFile(r.name, number)) : json(nullptr)},
                         {"centroid_hz", std::isfinite(hz) ? json(hz) : json(nullptr)},
                         {"basis", w[k]},
                         {"activation", acts[k]}});
    }
    j["components"] = std::move(comps);
    if (!r.grouped.empty()) j["group_file"] = r.name + "-group.wav";
    return j;
}

// Frees every object and buffer of the host whichever way the run ends.
struct HostGuard {
    ~HostGuard() { maxhost::reset(); }
};

ProgressBar *factorBar = nullptr;
void onIteration(int done, int total, void *) {
    if (factorBar) factorBar->update(done, total);
}

}  // namespace

bool parseComponentList(const std::string &text, int K, std::vector<int> &out, std::string &err) {
    std::set<int> picked;
    size_t pos = 0;
    if (text.empty()) {
        err = "the list of components is empty";
        return false;
    }
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(pos, comma - pos);
        int a = 0, b = 0;
        char extra = 0;
        if (std::sscanf(item.c_str(), "%d-%d%c", &a, &b, &extra) == 2) {
        } else if (std::sscanf(item.c_str(), "%d%c", &a, &extra) == 1) {
            b = a;
        } else {
            err = "'" + item + "' is not a component number or a range like 2-4";
            return false;
        }
        if (a > b) std::swap(a, b);
        if (a < 1 || b > K) {
            err = "component " + std::to_string(a < 1 ? a : b) + " is out of range 1.." + std::to_string(K);
            return false;
        }
        for (int i = a; i <= b; ++i) picked.insert(i);
        pos = comma + 1;
    }
    out.assign(picked.begin(), picked.end());
    return true;
}

int runDecompose(const DecomposeOptions &opt, DecomposeReport *report) {
    const int K = opt.components;
    if (K < 1 || K > kMaxComponents) {
        fail("the number of components must be between 1 and " + std::to_string(kMaxComponents) + ", not " +
             std::to_string(K));
        return 2;
    }
    if (opt.win && !(*opt.win > 0)) {
        fail("--win must be a positive number of seconds");
        return 2;
    }
    if (opt.hop && !(*opt.hop > 0 && *opt.hop <= 1)) {
        fail("--hop must be a fraction of the window above 0 and at most 1");
        return 2;
    }
    if (opt.format != "pcm16" && opt.format != "float") {
        fail("--format must be pcm16 or float");
        return 2;
    }
    std::vector<int> chosen, grouped;
    std::string err;
    if (opt.only.empty()) {
        for (int i = 1; i <= K; ++i) chosen.push_back(i);
    } else if (!parseComponentList(opt.only, K, chosen, err)) {
        fail("--only: " + err);
        return 2;
    }
    if (!opt.group.empty() && !parseComponentList(opt.group, K, grouped, err)) {
        fail("--group: " + err);
        return 2;
    }
    const SampleFormat fmt = opt.format == "float" ? SampleFormat::Float : SampleFormat::Pcm16;
    const bool progress = !opt.quiet && stderrIsTerminal();

    SoundData sound;
    if (!readSound(opt.input, sound, err)) {
        fail(err);
        return 1;
    }
    const std::string name = baseName(opt.input);
    OutputSet out(opt.outDir.empty() ? name : opt.outDir);
    OutputSet::installSignalCleanup();
    if (!out.prepare(err)) {
        fail(err);
        return 1;
    }

    // ---- the patch: a buffer~ holding the sound and one korvane~ --------
    HostGuard hostGuard;
    Session session;
    session.verbose = opt.verbose;
    session.attach();
    maxhost::setPluginPath(pluginDirs(opt.plugins));
    maxhost::Buffer *in = maxhost::createBuffer(kInBuffer, sound.channels, sound.frames, sound.sampleRate);
    if (!in) {
        fail("the host could not make a buffer for the sound");
        return 1;
    }
    in->samples = sound.samples;
    if (opt.seed) std::srand(*opt.seed);
    t_object *obj = maxhost::newObject(kObjectId, kClass, {}, err);
    if (!obj) {
        fail("cannot make a " + std::string(kClass) + " object: " + err);
        return 1;
    }
    auto setHook = reinterpret_cast<SetHookFn>(maxhost::pluginSymbol(kClass, "qm_setProgressHook"));
    struct HookReset {
        SetHookFn fn;
        ~HookReset() {
            if (fn) fn(nullptr, nullptr);
            factorBar = nullptr;
        }
    } hookReset{setHook};

    auto sendSym = [&](long inlet, const char *sel, const char *arg) {
        t_atom a;
        atom_setsym(&a, gensym(arg));
        maxhost::send(obj, inlet, gensym(sel), 1, &a);
    };
    sendSym(0, "loadBuffer", kInBuffer);
    t_atom ka;
    atom_setlong(&ka, K);
    maxhost::send(obj, 0, gensym("int"), 1, &ka);
    if (opt.win) {
        t_atom a = floatAtom(*opt.win);
        maxhost::send(obj, 0, gensym("setWin"), 1, &a);
    }
    if (opt.hop) {
        t_atom a = floatAtom(*opt.hop);
        maxhost::send(obj, 0, gensym("setHop"), 1, &a);
    }
    if (auto errors = session.newErrors(); !errors.empty()) {
        reportRefusal(errors, opt.verbose, "");
        return 1;
    }

    // ---- factorisation ---------------------------------------------------
    auto t0 = Clock::now();
    {
        ProgressBar bar("factorising", 100, progress);
        if (setHook && progress) {
            factorBar = &bar;
            setHook(onIteration, nullptr);
        }
        maxhost::send(obj, 0, gensym("decomp"), 0, nullptr);
        if (setHook) setHook(nullptr, nullptr);
        factorBar = nullptr;
        if (session.acts.size() == static_cast<size_t>(K) && session.bases.size() == static_cast<size_t>(K))
            bar.finish();
    }
    double factorSeconds = secondsSince(t0);
    std::vector<std::string> errors = session.newErrors();
    if (!errors.empty() || session.acts.size() != static_cast<size_t>(K) ||
        session.bases.size() != static_cast<size_t>(K)) {
        reportRefusal(errors, opt.verbose,
                      "the decomposition gave " + std::to_string(session.acts.size()) + " of " +
                          std::to_string(K) + " components");
        return 1;
    }
    const int frames = static_cast<int>(session.acts[0].size());
    const int bins = static_cast<int>(session.bases[0].size());
    const int fftSize = 2 * (bins - 1);
    int hop = 0;
    for (const auto &l : session.lines) {
        double w;
        int n, h, f;
        if (std::sscanf(l.text.c_str(), "winlength = %lf, FFTsize = %d, hop = %d, frames = %d", &w, &n, &h, &f) == 4)
            hop = h;
    }
    if (frames < 1 || bins < 2 || hop < 1) {
        fail("the decomposition's lists do not describe a spectrogram");
        return 1;
    }

    // Bases leave as -log(1 + w); the files and the picture show w.
    std::vector<std::vector<double>> w(static_cast<size_t>(K));
    for (int k = 0; k < K; ++k) {
        const auto &v = session.bases[static_cast<size_t>(k)];
        w[static_cast<size_t>(k)].resize(v.size());
        for (size_t b = 0; b < v.size(); ++b) w[static_cast<size_t>(k)][b] = std::max(0.0, std::expm1(-v[b]));
    }
    // Centroid in bins counted from 1, by the library's own routine.
    auto centroidFn = reinterpret_cast<CentroidFn>(maxhost::pluginSymbol(kClass, "qm_spectralCentroid"));
    std::vector<double> centroidHz(static_cast<size_t>(K));
    for (int k = 0; k < K; ++k) {
        const auto &wk = w[static_cast<size_t>(k)];
        double c;
        if (centroidFn) {
            c = centroidFn(wk.data(), bins);
        } else {
            double s = 0, m = 0;
            for (int b = 0; b < bins; ++b) {
                s += wk[static_cast<size_t>(b)];
                m += (b + 1) * wk[static_cast<size_t>(b)];
            }
            c = m / s;
        }
        centroidHz[static_cast<size_t>(k)] = (c - 1) * sound.sampleRate / fftSize;
    }

    // ---- resynthesis: one composition per file ---------------------------
    // Each file is written on a second thread while the next composition is
    // made; at most one write is in flight, and its error is reported at once.
    const std::string outBufName = std::string(kInBuffer) + "_out";
    const int outChannels = sound.channels > 1 ? 2 : 1;
    std::vector<std::string> written;
    std::future<std::string> pending;
    std::string pendingFile;
    // two sample buffers taken in turn: the one a write in flight reads is
    // never the one being filled
    std::vector<float> frameData[2];
    std::vector<std::string> pageOgg(static_cast<size_t>(K));
    int turn = 0;
    auto finishWrite = [&]() -> bool {
        if (!pending.valid()) return true;
        std::string werr = pending.get();
        if (!werr.empty()) {
            fail(werr);
            return false;
        }
        written.push_back(pendingFile);
        return true;
    };
    if (!maxhost::createBuffer(outBufName, 2, sound.frames, sound.sampleRate)) {
        fail("the host could not make the output buffer");
        return 1;
    }
    auto resynth = [&](const std::vector<int> &numbers, const std::string &file) -> bool {
        for (int number : numbers) {
            const auto &act = session.acts[static_cast<size_t>(number - 1)];
            const auto &base = session.bases[static_cast<size_t>(number - 1)];
            std::vector<t_atom> atoms(act.size());
            for (size_t i = 0; i < act.size(); ++i) atoms[i] = floatAtom(act[i]);
            maxhost::send(obj, 1, gensym("list"), static_cast<short>(atoms.size()), atoms.data());
            atoms.resize(base.size());
            for (size_t i = 0; i < base.size(); ++i) atoms[i] = floatAtom(base[i]);
            maxhost::send(obj, 2, gensym("list"), static_cast<short>(atoms.size()), atoms.data());
        }
        int before = session.bangs;
        maxhost::send(obj, 2, gensym("bang"), 0, nullptr);
        auto errs = session.newErrors();
        if (!errs.empty() || session.bangs != before + 1) {
            reportRefusal(errs, opt.verbose, "the resynthesis of " + file + " produced nothing");
            return false;
        }
        maxhost::Buffer *ob = maxhost::findBuffer(outBufName);
        if (!ob || ob->channels < 1 || ob->frames < sound.frames) {
            fail("the output buffer was lost during the resynthesis");
            return false;
        }
        std::vector<float> &data = frameData[turn];
        turn = 1 - turn;
        data.resize(static_cast<size_t>(sound.frames) * outChannels);
        if (ob->channels == outChannels) {
            std::copy_n(ob->samples.begin(), data.size(), data.begin());
        } else {
            for (long i = 0; i < sound.frames; ++i)
                for (int c = 0; c < outChannels; ++c)
                    data[static_cast<size_t>(i) * outChannels + c] =
                        ob->samples[static_cast<size_t>(i) * ob->channels + std::min<long>(c, ob->channels - 1)];
        }
        if (!finishWrite()) return false;
        pendingFile = file;
        pending = std::async(std::launch::async,
                             [samples = data.data(), path = out.stage(file), frames = sound.frames,
                              outChannels, rate = sound.sampleRate, fmt,
                              ogg = opt.page && numbers.size() == 1 ? &pageOgg[numbers[0] - 1] : nullptr, K]() {
                                 std::string werr;
                                 writeSound(path, samples, frames, outChannels, rate, fmt, werr);
                                 if (werr.empty() && ogg)   // the page's copy, encoded on the same thread
                                     encodePageAudio(samples, frames, outChannels, rate,
                                                     pageAudioQuality(K + 1, static_cast<double>(frames) / rate), *ogg, werr);
                                 return werr;
                             });
        return true;
    };

    auto t1 = Clock::now();
    {
        int total = static_cast<int>(chosen.size()) + (grouped.empty() ? 0 : 1);
        ProgressBar bar("resynthesising", total, progress);
        int done = 0;
        bool ok = true;
        for (int number : chosen) {
            if (!(ok = resynth({number}, componentFile(name, number)))) break;
            bar.update(++done);
        }
        if (ok && !grouped.empty()) {
            ok = resynth(grouped, name + "-group.wav");
            if (ok) bar.update(++done);
        }
        // a failed step still waits for the write in flight before leaving
        if (!finishWrite() || !ok) return 1;
        bar.finish();
    }
    double resynthSeconds = secondsSince(t1);

    // ---- the picture ------------------------------------------------------
    if (opt.plot) {
        PlotData pd;
        pd.title = name;
        pd.sampleRate = sound.sampleRate;
        pd.duration = static_cast<double>(sound.frames) / sound.sampleRate;
        pd.fftSize = fftSize;
        pd.hop = hop;
        pd.bins = bins;
        pd.frames = frames;
        pd.bases = w;
        pd.activations = session.acts;
        pd.centroidsHz = centroidHz;
        pd.spectrogram = spectrogramForPicture(sound, fftSize, hop, frames, w, session.acts);
        if (!writePlot(out.stage("decomposition.png"), pd, err)) {
            fail(err);
            return 1;
        }
        written.push_back("decomposition.png");
    }

    // ---- components.json ----------------------------------------------------
    {
        Record rec{opt, sound, chosen, grouped, name, fftSize, hop, bins, frames};
        std::string path = out.stage("components.json");
        std::ofstream f(path);
        f << componentsJson(rec, w, session.acts, centroidHz).dump(1) << '\n';
        f.close();
        if (!f) {
            fail("cannot write '" + out.finalPath("components.json") + "'");
            return 1;
        }
        written.push_back("components.json");
    }

    if (opt.page) {
        PageData pd = pageFromRun(name, out.dir(), sound, fftSize, hop, w, session.acts, centroidHz,
                                  spectrogramForPicture(sound, fftSize, hop, frames, w, session.acts), std::move(pageOgg));
        if (!writePage(out.stage("index.html"), pd, err)) {
            fail(err);
            return 1;
        }
        written.push_back("index.html");
    }
    if (!out.commit(err)) {
        fail(err);
        return 1;
    }
    if (!opt.quiet) {
        std::printf("%d component%s of %s in %s/: %zu file%s (factorisation %.1f s, resynthesis %.1f s)\n", K,
                    K == 1 ? "" : "s", opt.input.c_str(), out.dir().c_str(), written.size(),
                    written.size() == 1 ? "" : "s", factorSeconds, resynthSeconds);
        std::fflush(stdout);
    }
    if (report) {
        report->outDir = out.dir();
        report->files = written;
        report->factorSeconds = factorSeconds;
        report->resynthSeconds = resynthSeconds;
    }
    return 0;
}

Command decomposeCommand() {
    return Command{
        "decompose", "Split a sound file into K components, each written as a sound",
        [](CLI::App &cmd) -> CommandRun {
            auto opt = std::make_shared<DecomposeOptions>();
            cmd.add_option("IN", opt->input, "Sound file to decompose (WAV, AIFF, FLAC, OGG, ...)")->required();
            cmd.add_option("-k,--components", opt->components, "Number of components (1-64)")->capture_default_str();
            cmd.add_option("--win", opt->win, "Analysis window length in seconds (default 0.08)");
            cmd.add_option("--hop", opt->hop, "Hop as a fraction of the window (default 0.25)");
            cmd.add_option("-o,--out", opt->outDir, "Output folder (default: a folder named after the input)");
            cmd.add_option("--only", opt->only, "Components to write, e.g. 1,3-4 (numbered from 1, brightest first)");
            cmd.add_option("--group", opt->group, "Components mixed through one mask into NAME-group.wav");
            cmd.add_flag("--plot", opt->plot, "Also draw decomposition.png");
            cmd.add_flag("--page", opt->page, "Also write index.html, a page to hear and choose the components");
            cmd.add_option("--seed", opt->seed, "Seed the random start of the factorisation");
            cmd.add_option("--format", opt->format, "Sample format of the sound files")
                ->check(CLI::IsMember({"pcm16", "float"}))
                ->capture_default_str();
            cmd.add_flag("-q,--quiet", opt->quiet, "Print nothing but errors");
            cmd.add_flag("-v,--verbose", opt->verbose, "Show the object's console lines");
            cmd.add_option("--plugins", opt->plugins,
                           "Plug-in folders, colon-separated (default: $KORVANE_PLUGIN_PATH, "
                           "else plugins/ beside the executable)");
            return [opt] { return runDecompose(*opt, nullptr); };
        }};
}

}  // namespace korvane
