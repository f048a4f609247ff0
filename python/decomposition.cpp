// A decomposition as the command line makes it: its options, its Run, its
// analysis and its writers, from the app's decompose and files rooms. Only
// the factorisation's progress differs: each round is handed to Python.
#include "decomposition.hpp"

#include "decompose/bases.hpp"
#include "decompose/decompose_steps.hpp"
#include "files/file_hash.hpp"
#include "files/sound_check.hpp"
#include "files/sound_reader.hpp"
#include "files/staged_set.hpp"
#include "files/tool_record.hpp"
#include "messages.hpp"
#include "round_bridge.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace kvpy {

namespace {

namespace py = pybind11;
using korvane::Run;

constexpr int kPageLowestRate = 3000;  // as decompose_load.cpp: browsers play no slower sound

[[noreturn]] void raise(PyObject *type, const std::string &msg) {
    PyErr_SetString(type, msg.c_str());
    throw py::error_already_set();
}

// A failed step: usage faults (status 2) and refusals are ValueError,
// memory MemoryError, the rest `otherwise`.
[[noreturn]] void raiseStep(int status, const std::string &text, PyObject *otherwise) {
    if (text.find("not enough memory") != std::string::npos) raise(PyExc_MemoryError, text);
    raise(status == 2 ? PyExc_ValueError : otherwise, text.empty() ? std::string("the step failed") : text);
}

// What korvane.decompose passes, named as the command line's options.
struct Settings {
    int k = 4;
    bool kSet = false;
    std::optional<double> win, hop;
    std::string channels = "stack", start = "nndsvda", order = "centroid";
    std::optional<std::string> cost;
    std::optional<double> beta, sparseW, sparseH, l2W, l2H, continuity;
    std::optional<int> span, pool;
    bool plain = false;
    std::string precision = "single";
    std::optional<int> iterations;  // none: the model's
    std::optional<double> relax;
    std::optional<double> bands;
    std::optional<std::string> channelSpectra;
    std::optional<std::string> filter;
    double tol = 1e-4;
    std::optional<unsigned> seed;
    std::vector<std::string> bases;
    bool fixBases = false;
    int extra = 0;
};

// A source that lets Ctrl-C in every few blocks.
struct CheckedSource {
    kve_source inner;
    RoundBridge *bridge;
    long blocks = 0;
    static int read(void *user, long start, long count, double *const *ch) {
        auto *s = static_cast<CheckedSource *>(user);
        if (++s->blocks % 16 == 0 && RoundBridge::onRound(0, 0, s->bridge) != 0) return 1;
        return s->inner.read(s->inner.user, start, count, ch);
    }
};

// Each output's samples into its own (length x channels) array.
struct ArraySink {
    std::vector<double *> out;
    int channels;
    template <typename S>
    static int write(void *user, int output, long start, long count, const S *const *ch) {
        auto *s = static_cast<ArraySink *>(user);
        double *o = s->out[static_cast<size_t>(output)] + start * s->channels;
        for (long i = 0; i < count; ++i)
            for (int c = 0; c < s->channels; ++c) o[i * s->channels + c] = ch[c][i];
        return 0;
    }
};

class Decomposition {
public:
    Decomposition(std::optional<std::string> path, std::optional<py::array_t<float, py::array::c_style>> samples,
                  int rate, const Settings &set, py::object progress);
    ~Decomposition() {
        if (!arrayFile_.empty()) unlink(arrayFile_.c_str());
    }

    // the factors as the rounds left them: inner rank-one components
    py::array_t<double> W() const { return matrix(run_->W, run_->shape.rows, run_->inner); }
    py::array_t<double> H() const { return matrix(run_->H, run_->inner, run_->shape.frames); }
    py::array_t<double> bases() const;
    py::array_t<double> activations() const;
    py::array_t<double> perComponent(double korvane::Component::*field) const;
    py::list resynthesise(const std::vector<std::vector<int>> &sets);
    py::list save(const std::string &dir, const std::string &format, const std::vector<int> &only,
                  const std::vector<std::vector<int>> &groups, bool plot, bool page);
    py::dict info() const;
    const std::string &cutShort() const { return cutShort_; }

private:
    std::unique_ptr<korvane::DecomposeOptions> opt_;
    std::unique_ptr<Run> run_;
    std::string arrayFile_;  // an array's samples as a float file, for the record
    std::string cutShort_;   // the command line's warning for a WAV cut short

    long K() const { return opt_->components; }
    static py::array_t<double> matrix(const std::vector<double> &v, long rows, long cols);
    void writeArrayFile();
    int writeAll(const std::string &dir, bool plot, bool page);
};

Decomposition::Decomposition(std::optional<std::string> path,
                             std::optional<py::array_t<float, py::array::c_style>> samples, int rate,
                             const Settings &set, py::object progress)
    : opt_(std::make_unique<korvane::DecomposeOptions>()) {
    korvane::DecomposeOptions &o = *opt_;
    o.input = path ? *path : std::string();
    o.fromStdin = !path;  // an array is recorded as a sound that came without a file
    o.components = set.k;
    o.componentsSet = set.kSet;
    o.win = set.win;
    o.hop = set.hop;
    o.channels = set.channels;
    o.cost = set.cost;
    o.beta = set.beta;
    o.l1W = set.sparseW;
    o.l1H = set.sparseH;
    o.l2W = set.l2W;
    o.l2H = set.l2H;
    o.continuity = set.continuity;
    o.span = set.span;
    o.pool = set.pool;
    o.plain = set.plain;
    o.precision = set.precision;
    o.start = set.start;
    o.order = set.order;
    o.iterations = set.iterations;
    o.relax = set.relax;
    o.bands = set.bands;
    o.channelSpectra = set.channelSpectra;
    o.filter = set.filter;
    o.tol = set.tol;
    o.seed = set.seed;
    o.bases = set.bases;
    o.fixBases = set.fixBases;
    o.extra = set.extra;
    o.quiet = true;
    {
        CaughtMessages caught;
        int st = 0;
        if (!o.bases.empty() || o.fixBases || o.extra) st = korvane::resolveBases(o);
        if (st == 0) {
            run_ = std::make_unique<Run>(o);
            st = korvane::checkOptions(*run_);
        }
        if (st != 0) raiseStep(st, caught.text(), PyExc_OSError);
    }
    Run &run = *run_;
    run.progress = false;
    if (samples) {
        if (samples->ndim() != 2 || samples->shape(0) < 1 || samples->shape(1) < 1)
            raise(PyExc_ValueError, "the sound must be an array of frames x channels");
        run.sound.channels = static_cast<int>(samples->shape(1));
        run.sound.frames = static_cast<long>(samples->shape(0));
        run.sound.sampleRate = rate;
        run.sound.samples.assign(samples->data(), samples->data() + samples->size());
        run.name = "sound";
    } else {
        std::string err;
        bool ok;
        {
            py::gil_scoped_release release;
            // the input as read: the record keeps this, and save writes
            // nothing unless it is still so (as the command line's loadSound)
            struct stat st;
            ok = !(stat(o.input.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ||
                 korvane::fingerprintFile(o.input, run.inputPrint, err);
            ok = ok && korvane::readSound(o.input, run.sound, err);
        }
        if (!ok) raise(PyExc_OSError, err);
        cutShort_ = korvane::wavCutShort(o.input);  // the results are of less than the file promised
        run.name = korvane::runName(o);
        if (run.sound.channels < 1) raise(PyExc_OSError, "'" + o.input + "' is too long or holds no channel");
    }
    RoundBridge bridge(std::move(progress), o.iterations.value_or(0));
    int st = 0;
    {
        CaughtMessages caught;
        {
            py::gil_scoped_release release;
            st = korvane::analyseSound(run);
            bridge.setTotal(run.rounds);
            if (st == 0) st = korvane::factorise(run, RoundBridge::onRound, &bridge);
        }
        raiseIfStopped(bridge);
        if (st != 0) raiseStep(2, caught.text(), PyExc_ValueError);
    }
}

py::array_t<double> Decomposition::matrix(const std::vector<double> &v, long rows, long cols) {
    py::array_t<double> a({rows, cols});
    std::copy(v.begin(), v.begin() + rows * cols, a.mutable_data());
    return a;
}

py::array_t<double> Decomposition::bases() const {
    const long bins = run_->shape.bins;
    py::array_t<double> a({bins, K()});
    double *p = a.mutable_data();
    for (long k = 0; k < K(); ++k)
        for (long b = 0; b < bins; ++b) p[b * K() + k] = run_->components[static_cast<size_t>(k)].shown[b];
    return a;
}

py::array_t<double> Decomposition::activations() const {
    const long T = run_->shape.frames;
    py::array_t<double> a({K(), T});
    for (long k = 0; k < K(); ++k) {
        const auto &h = run_->components[static_cast<size_t>(k)].activation;
        std::copy(h.begin(), h.end(), a.mutable_data() + k * T);
    }
    return a;
}

py::array_t<double> Decomposition::perComponent(double korvane::Component::*field) const {
    py::array_t<double> a(K());
    for (long k = 0; k < K(); ++k) a.mutable_data()[k] = run_->components[static_cast<size_t>(k)].*field;
    return a;
}

// Each set of components (from 0) through one mask, all in one pass.
py::list Decomposition::resynthesise(const std::vector<std::vector<int>> &sets) {
    const kve_streamShape &s = run_->shape;
    std::vector<std::vector<int>> inner;  // each set's inner components
    for (const auto &set : sets) {
        if (set.empty()) raise(PyExc_ValueError, "a group needs at least one component");
        inner.emplace_back();
        for (int c : set) {
            if (c < 0 || c >= K())
                raise(PyExc_ValueError,
                      "component " + std::to_string(c) + " is not between 0 and " + std::to_string(K() - 1));
            for (int i : korvane::innerOf(*run_, c)) inner.back().push_back(i);
        }
    }
    std::vector<kve_output> outs;
    for (const auto &set : inner) outs.push_back({set.data(), static_cast<int>(set.size())});
    py::list arrays;
    ArraySink sink{{}, s.channels};
    for (size_t i = 0; i < sets.size(); ++i) {
        py::array_t<double> a({static_cast<long>(s.length), static_cast<long>(s.channels)});
        sink.out.push_back(a.mutable_data());
        arrays.append(a);
    }
    RoundBridge bridge(py::none(), 0);
    CheckedSource src{korvane::soundSource(*run_), &bridge};
    // masks of the models to a power: the pass over powered factors
    const double *W = run_->W.data(), *H = run_->H.data();
    std::vector<double> Wp, Hp;
    if (run_->maskPower != 1) {
        Wp.resize(run_->W.size());
        Hp.resize(run_->H.size());
        kve_maskFactors(W, H, s.rows, static_cast<int>(s.frames), run_->inner, run_->maskPower, Wp.data(), Hp.data());
        W = Wp.data();
        H = Hp.data();
    }
    kve_status st;
    {
        py::gil_scoped_release release;
        const kve_source from{CheckedSource::read, &src};
        const int n = static_cast<int>(outs.size());
        st = run_->precision == "single"
                 ? kve_streamResynthSingleFiltered(&s, from, W, H, run_->inner, outs.data(), n,
                                                   kve_sinkSingle{ArraySink::write<float>, &sink}, 0, run_->filter)
                 : KVE_BAD_ARGUMENT;
        // double: asked for, or factors beyond float's range (refused before any block)
        if (st == KVE_BAD_ARGUMENT)
            st = kve_streamResynthFiltered(&s, from, W, H, run_->inner, outs.data(), n,
                                           kve_sink{ArraySink::write<double>, &sink}, 0, run_->filter);
    }
    raiseIfStopped(bridge);
    if (st == KVE_NO_MEMORY) raise(PyExc_MemoryError, "not enough memory for the resynthesis");
    if (st != KVE_OK) raise(PyExc_ValueError, "the resynthesis failed");
    return arrays;
}

// The samples of an array as a float file, so that the record can fingerprint
// the input and "same" has a format to follow.
void Decomposition::writeArrayFile() {
    if (!arrayFile_.empty()) return;
    char name[] = "/tmp/korvane-sound-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) raise(PyExc_OSError, "cannot make a temporary file for the sound");
    close(fd);
    std::string wav = std::string(name) + ".wav", err;
    unlink(name);
    const korvane::SoundData &d = run_->sound;
    if (!korvane::writeSound(wav, d.samples.data(), d.frames, d.channels, d.sampleRate, korvane::SampleFormat::Float,
                             err))
        raise(PyExc_OSError, err);
    arrayFile_ = wav;
    opt_->input = wav;
    if (!korvane::fingerprintFile(wav, run_->inputPrint, err)) raise(PyExc_OSError, err);
}

// The command line's writers in its order, the record last; 0 or the status.
int Decomposition::writeAll(const std::string &dir, bool plot, bool page) {
    Run &run = *run_;
    py::gil_scoped_release release;
    try {
        korvane::StagedSet out(dir);
        std::string err;
        if (!out.prepare(err)) {
            korvane::fail(err);
            return 1;
        }
        out.protect(static_cast<dev_t>(run.inputPrint.dev), static_cast<ino_t>(run.inputPrint.ino));
        if (int st = korvane::resynthesiseAndWrite(run, out)) return st;
        if (plot)
            if (int st = korvane::drawPicture(run, out)) return st;
        if (page)
            if (int st = korvane::writeListeningPage(run, out)) return st;
        if (int st = korvane::writeComponentsJson(run, out)) return st;
        if (!out.commit(err)) {
            korvane::fail(err);
            return 1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        korvane::fail("not enough memory for the files");
    } catch (const std::exception &e) {  // a library's words, with the file they are about
        korvane::fail(korvane::describeFailure(dir, e));
    }
    return 1;
}

py::list Decomposition::save(const std::string &dir, const std::string &format, const std::vector<int> &only,
                             const std::vector<std::vector<int>> &groups, bool plot, bool page) {
    Run &run = *run_;
    // as loadSound refuses it for the command line
    if (page && run.sound.sampleRate < kPageLowestRate)
        raise(PyExc_ValueError, "--page: the sound has " + std::to_string(run.sound.sampleRate) +
                                    " samples a second and a browser plays " + std::to_string(kPageLowestRate) +
                                    " or more, so its page could not play; leave out page (or resample the sound)");
    if (run.opt.fromStdin) writeArrayFile();
    opt_->outDir = dir;
    opt_->format = format;
    opt_->plot = plot;
    opt_->page = page;
    run.chosen.clear();
    for (int c : only) run.chosen.push_back(c + 1);
    run.groups.clear();
    for (const auto &g : groups) {
        run.groups.emplace_back();
        for (int c : g) run.groups.back().push_back(c + 1);
    }
    run.written.clear();
    run.commonGain = 1.0;
    for (auto &c : run.components) c.pageAudio.clear();
    CaughtMessages caught;
    int st = writeAll(dir, plot, page);
    if (st != 0) raiseStep(st, caught.text(), PyExc_OSError);
    py::list files;
    for (const auto &f : run.written) files.append(f);
    return files;
}

py::dict Decomposition::info() const {
    const Run &run = *run_;
    const kve_streamShape &s = run.shape;
    py::dict d;
    d["rate"] = run.sound.sampleRate;
    d["channels"] = run.sound.channels;
    d["length"] = run.sound.frames;
    d["fft_size"] = s.N;
    d["hop"] = s.hop;
    d["bins"] = s.bins;
    d["frames"] = s.frames;
    d["channel_mode"] = run.channelMode;
    d["iterations"] = run.iterationsRun;
    d["divergence"] = run.divergence;
    d["seed"] = run.seedUsed;
    d["starts"] = run.starts;
    d["start_kept"] = run.startKept;
    d["mask_power"] = run.maskPower;
    d["name"] = run.name;
    d["cost"] = korvane::costName(run.model);
    d["beta"] = run.model.beta;
    d["span"] = run.model.span;
    d["pool"] = run.pool;
    return d;
}

}  // namespace

void bindDecomposition(py::module_ &m) {
    m.attr("MOST_CHANNELS") = static_cast<int>(KVE_MOST_CHANNELS);
    py::class_<Settings>(m, "Settings")
        .def(py::init<>())
        .def_readwrite("k", &Settings::k)
        .def_readwrite("k_set", &Settings::kSet)
        .def_readwrite("win", &Settings::win)
        .def_readwrite("hop", &Settings::hop)
        .def_readwrite("channels", &Settings::channels)
        .def_readwrite("cost", &Settings::cost)
        .def_readwrite("beta", &Settings::beta)
        .def_readwrite("sparse_w", &Settings::sparseW)
        .def_readwrite("sparse_h", &Settings::sparseH)
        .def_readwrite("l2_w", &Settings::l2W)
        .def_readwrite("l2_h", &Settings::l2H)
        .def_readwrite("continuity", &Settings::continuity)
        .def_readwrite("span", &Settings::span)
        .def_readwrite("pool", &Settings::pool)
        .def_readwrite("plain", &Settings::plain)
        .def_readwrite("precision", &Settings::precision)
        .def_readwrite("start", &Settings::start)
        .def_readwrite("order", &Settings::order)
        .def_readwrite("iterations", &Settings::iterations)
        .def_readwrite("relax", &Settings::relax)
        .def_readwrite("bands", &Settings::bands)
        .def_readwrite("channel_spectra", &Settings::channelSpectra)
        .def_readwrite("filter", &Settings::filter)
        .def_readwrite("tol", &Settings::tol)
        .def_readwrite("seed", &Settings::seed)
        .def_readwrite("bases", &Settings::bases)
        .def_readwrite("fix_bases", &Settings::fixBases)
        .def_readwrite("extra", &Settings::extra);
    py::class_<Decomposition>(m, "Decomposition")
        .def(py::init<std::optional<std::string>, std::optional<py::array_t<float, py::array::c_style>>, int,
                      const Settings &, py::object>(),
             py::arg("path").none(true), py::arg("samples").none(true), py::arg("rate"), py::arg("settings"),
             py::arg("progress").none(true))
        .def_property_readonly("W", &Decomposition::W)
        .def_property_readonly("H", &Decomposition::H)
        .def_property_readonly("bases", &Decomposition::bases)
        .def_property_readonly("activations", &Decomposition::activations)
        .def_property_readonly("centroid_hz",
                               [](const Decomposition &d) { return d.perComponent(&korvane::Component::centroidHz); })
        .def_property_readonly("peak_hz",
                               [](const Decomposition &d) { return d.perComponent(&korvane::Component::peakHz); })
        .def_property_readonly("energy_share",
                               [](const Decomposition &d) { return d.perComponent(&korvane::Component::energyShare); })
        .def("resynthesise", &Decomposition::resynthesise)
        .def("save", &Decomposition::save)
        .def("info", &Decomposition::info)
        .def_property_readonly("cut_short", &Decomposition::cutShort);
}

}  // namespace kvpy
