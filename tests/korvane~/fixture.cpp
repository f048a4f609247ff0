#include "fixture.hpp"

#include "dft_reference.hpp"

namespace kvtest {

void Korvane::SetUp() {
    maxhost::reset();
    mainThread = std::this_thread::get_id();
    maxhost::setPluginPath({KV_PLUGIN_DIR});
    recorder.install();
    std::string err;
    ASSERT_TRUE(maxhost::loadClass("korvane~", err)) << err;
    failAllocsAfter(-1);
}

void Korvane::keep(const maxhost::Event &e) {
    if (e.console) {
        console.push_back(Line{e.line.error, e.line.text, e.thread, e.seq});
        return;
    }
    Out o{e.obj, e.outlet, e.sel ? e.sel->s_name : "", {}, e.thread, e.seq};
    for (const t_atom &a : e.atoms) o.values.push_back(atom_getfloat(&a));
    outs.push_back(std::move(o));
}

void Korvane::TearDown() {
    maxhost::reset();
}

t_korvane *Korvane::make(const std::string &id) {
    std::string err;
    t_object *o = maxhost::newObject(id, "korvane~", {}, err);
    EXPECT_NE(o, nullptr) << err;
    return reinterpret_cast<t_korvane *>(o);
}

void Korvane::buffer(const std::string &name, long channels, const std::vector<float> &frames,
                     double rate) {
    long n = static_cast<long>(frames.size()) / channels;
    maxhost::Buffer *b = maxhost::createBuffer(name, channels, n, rate);
    ASSERT_NE(b, nullptr);
    b->samples.assign(frames.begin(), frames.end());
}

void Korvane::load(t_korvane *x, const std::string &name,
                   const std::vector<std::vector<double>> &channels, double rate) {
    long nch = static_cast<long>(channels.size());
    std::vector<float> s(channels[0].size() * channels.size());
    for (size_t f = 0; f < channels[0].size(); ++f)
        for (size_t c = 0; c < channels.size(); ++c)
            s[f * nch + c] = static_cast<float>(channels[c][f]);
    buffer(name, nch, s, rate);
    sendSym(x, "loadBuffer", name);
    ASSERT_TRUE(x->eng.fileLoaded);
}

void Korvane::sendInt(t_korvane *x, long v, long inlet) {
    t_atom a;
    atom_setlong(&a, v);
    maxhost::send(reinterpret_cast<t_object *>(x), inlet, gensym("int"), 1, &a);
}

void Korvane::sendFloat(t_korvane *x, const char *sel, double v, long inlet) {
    t_atom a;
    atom_setfloat(&a, v);
    maxhost::send(reinterpret_cast<t_object *>(x), inlet, gensym(sel), 1, &a);
}

void Korvane::sendSym(t_korvane *x, const char *sel, const std::string &s, long inlet) {
    t_atom a;
    atom_setsym(&a, gensym(s.c_str()));
    maxhost::send(reinterpret_cast<t_object *>(x), inlet, gensym(sel), s.empty() ? 0 : 1, &a);
}

void Korvane::sendBare(t_korvane *x, const char *sel, long inlet) {
    maxhost::send(reinterpret_cast<t_object *>(x), inlet, gensym(sel), 0, nullptr);
}

void Korvane::sendList(t_korvane *x, long inlet, const std::vector<double> &v) {
    std::vector<t_atom> atoms(v.size());
    for (size_t i = 0; i < v.size(); ++i) atom_setfloat(&atoms[i], v[i]);
    maxhost::send(reinterpret_cast<t_object *>(x), inlet, gensym("list"),
                  static_cast<short>(atoms.size()), atoms.data());
}

void Korvane::schedSym(t_korvane *x, const char *sel, const std::string &s) {
    t_atom a;
    atom_setsym(&a, gensym(s.c_str()));
    maxhost::sendFromScheduler(reinterpret_cast<t_object *>(x), 0, gensym(sel), s.empty() ? 0 : 1,
                               &a);
}

std::vector<std::string> Korvane::texts() const {
    std::vector<std::string> t;
    for (const Line &l : console) t.push_back((l.error ? "!" : "") + l.text);
    return t;
}

std::vector<Out> Korvane::outlet(long n) const {
    std::vector<Out> r;
    for (const Out &o : outs)
        if (o.outlet == n) r.push_back(o);
    return r;
}

bool Korvane::allOnMainThread() const {
    for (const Line &l : console)
        if (l.thread != mainThread) return false;
    for (const Out &o : outs)
        if (o.thread != mainThread) return false;
    return true;
}

void naiveSTFT(const std::vector<double> &x, int N, int frames, int hop, std::vector<double> &re,
               std::vector<double> &im) {
    ref::stft(x, N, frames, hop, re, im);
    // DC and Nyquist are real by definition
    for (int t = 0; t < frames; ++t) im[t] = im[static_cast<size_t>(N / 2) * frames + t] = 0.0;
}

std::vector<double> naiveResynth(const std::vector<double> &re, const std::vector<double> &im,
                                 const std::vector<double> &mask, const std::vector<double> &model,
                                 int N, int frames, int hop, int numSamples) {
    std::vector<double> xr(re.size()), xi(im.size()), out(numSamples, 0.0);
    for (size_t i = 0; i < re.size(); ++i) {
        double gain = mask[i] / (model[i] + 0.1);
        xr[i] = re[i] * gain;
        xi[i] = im[i] * gain;
    }
    ref::istft(xr, xi, N, frames, hop, out);
    return out;
}

std::vector<double> tone(int n, double rate, const std::vector<double> &freqs,
                         const std::vector<double> &amps, uint32_t seed, double noise) {
    std::vector<double> s(n);
    uint32_t state = seed;
    for (int i = 0; i < n; ++i) {
        double v = 0;
        for (size_t j = 0; j < freqs.size(); ++j)
            v += amps[j] * std::sin(2 * M_PI * freqs[j] * i / rate);
        state = state * 1664525u + 1013904223u;
        v += noise * ((state >> 8) / 8388608.0 - 1.0);
        s[i] = v;
    }
    return s;
}

}  // namespace kvtest
