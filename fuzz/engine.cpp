// Fuzz target: the engine's entry points, driven by a sequence of operations
// read from the input: loads of small sounds (with values that are not
// finite), settings, analysis, factorisation from every kind of start,
// layers, resynthesis, injected allocation failures, and the streaming
// analysis and resynthesis with the command line's start and cost.
#include "kv_engine.h"
#include "qm_matrixOps.h"
#include "kv_stream.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// Cells of a spectrogram worth analysing here: larger shapes are only
// checked, so that each input stays quick.
constexpr double kMaxCells = 1 << 18;

// Reads in order, one statement a read: the order in which operands or
// arguments are evaluated differs between compilers, and an input must mean
// the same to the fuzzer (clang) and to the replay (GCC).
class Bytes {
public:
    Bytes(const uint8_t *p, size_t n) : p_(p), n_(n) {}
    bool empty() const { return n_ == 0; }
    uint8_t u8() { return n_ ? (--n_, *p_++) : 0; }
    uint16_t u16() {
        const uint16_t lo = u8();
        return static_cast<uint16_t>(lo | u8() << 8);
    }
    float f32() {
        const uint32_t lo = u16();
        const uint32_t b = lo | static_cast<uint32_t>(u16()) << 16;
        float f;
        std::memcpy(&f, &b, sizeof f);
        return f;
    }
    // one of the listed values, or (last choice) raw bits
    template <size_t N>
    double pick(const double (&v)[N]) {
        uint8_t i = u8();
        return i < N ? v[i] : (i % 4 == 0 ? static_cast<double>(f32()) : v[i % N]);
    }

private:
    const uint8_t *p_;
    size_t n_;
};

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Engine {
    kve_engine e;
    Engine() { kve_init(&e); }
    ~Engine() {
        kve_setAllocFailure(-1);
        kve_free(&e);
    }
};

// A sound of tones and a little noise, one value possibly replaced.
std::vector<float> makeSound(Bytes &in, int channels, int frames) {
    std::vector<float> s(static_cast<size_t>(channels) * frames);
    const double f = 20 + in.u8() * 40, amp = in.u8() / 64.0;
    uint32_t noise = in.u16() + 1u;
    for (size_t i = 0; i < s.size(); ++i) {
        noise = noise * 1664525u + 1013904223u;
        s[i] = static_cast<float>(amp * std::sin(f * static_cast<double>(i) * 1e-3) + (noise >> 20) * 1e-7);
    }
    if (!s.empty() && in.u8() % 4 == 0) {
        static const double odd[] = {kNaN, kInf, -kInf, 3e38, 1e-45, 0};
        const size_t at = in.u16() % s.size();
        s[at] = static_cast<float>(in.pick(odd));
    }
    return s;
}

void load(Bytes &in, Engine &g, std::vector<float> &sound, int &channels, double &rate) {
    static const double rates[] = {8000, 44100, 11025, 1, 0, kNaN, 192000};
    channels = 1 + in.u8() % 3;
    const int frames = in.u16() % 6000;
    rate = in.pick(rates);
    sound = makeSound(in, channels, frames);
    kve_loadSound(&g.e, sound.data(), channels, frames, rate);
}

void settings(Bytes &in, Engine &g) {
    static const double windows[] = {0.08, 0.01, 0.05, 0.0001, 0, -1, kNaN};
    static const double overlaps[] = {0.75, 0.5, 0, 0.99, 1, -0.5, kNaN};
    static const double limits[] = {0, 10000, 8200, 1, 64};
    kve_settings &s = g.e.settings;
    s.window = static_cast<float>(in.pick(windows));
    s.overlap = static_cast<float>(in.pick(overlaps));
    s.cost = in.u8() % 2 ? KVE_KULLBACK_LEIBLER : KVE_EUCLIDEAN;
    s.iterations = in.u8() % 6;
    s.maxFrames = in.pick(limits);
    s.maxBins = in.pick(limits);
    kve_settingsChanged(&g.e);
}

// The analysis, when the shape it would make is small.
void analyse(Engine &g) {
    if (!g.e.fileLoaded) {
        kve_analyse(&g.e, nullptr);
        return;
    }
    kve_shapeInput si{g.e.settings.window,    g.e.settings.overlap, g.e.sr, static_cast<double>(g.e.numSamples),
                      g.e.settings.maxFrames, g.e.settings.maxBins};
    kve_shape shape;
    kve_shapeDetail detail;
    if (kve_shapeOf(&si, &shape, &detail) == KVE_OK && static_cast<double>(shape.bins) * shape.frames > kMaxCells)
        return;
    kve_analyse(&g.e, &detail);
}

int stopAt(int done, int, void *user) {
    return done >= *static_cast<int *>(user);
}

void factorize(Bytes &in, Engine &g) {
    int K = 1 + in.u8() % 12;
    if (in.u8() == 255) K = 1 << 30;
    kve_start start{};
    start.kind = static_cast<kve_startKind>(in.u8() % 3);
    start.seed = in.u16();
    std::vector<double> W, H;
    if (start.kind == KVE_START_GIVEN) {
        if (!g.e.stftValid || K > 12) return;
        static const double odd[] = {0.5, 0, 1e300, kNaN, -1};
        W.assign(static_cast<size_t>(g.e.numBins) * K, in.pick(odd));
        H.assign(static_cast<size_t>(K) * g.e.numFrames, in.pick(odd));
        for (size_t i = 0; i < W.size(); ++i) W[i] += (i % 7) * 0.1;
        start.W = W.data();
        start.H = H.data();
    }
    int stop = 1 + in.u8() % 8;
    kve_factorize(&g.e, K, &start, in.u8() % 2 ? stopAt : nullptr, &stop);
}

void addLayer(Bytes &in, Engine &g) {
    static const double odd[] = {0.5, 0, kNaN, kInf, -2, 1e300};
    const long bins = g.e.numBins + static_cast<int8_t>(in.u8()) % 3;
    std::vector<double> basis(bins > 0 ? static_cast<size_t>(bins) : 0, in.pick(odd));
    const size_t frames = in.u16() % 4000;
    std::vector<double> act(frames, in.pick(odd));
    kve_addLayer(&g.e, basis.data(), bins, act.data(), static_cast<long>(act.size()));
}

void readComponents(Engine &g) {
    if (!g.e.decompValid) return;
    std::vector<double> w(static_cast<size_t>(g.e.numBins)), h(static_cast<size_t>(g.e.numFrames));
    std::vector<double> v(w.size()), back(w.size());
    for (int k = 0; k < g.e.factK; ++k) {
        kve_basis(&g.e, k, w.data());
        kve_activation(&g.e, k, h.data());
        kve_encodeBasis(w.data(), static_cast<long>(w.size()), v.data());
        kve_decodeBasis(v.data(), static_cast<long>(v.size()), back.data());
    }
    std::vector<double> V(static_cast<size_t>(g.e.numBins) * static_cast<size_t>(g.e.numFrames));
    kve_magnitude(&g.e, V.data());
}

struct SoundView {
    const std::vector<float> *s;
    int channels;
};

int readSound(void *user, long start, long count, double *const *ch) {
    const SoundView &v = *static_cast<SoundView *>(user);
    const int used = v.channels < 2 ? v.channels : 2;
    for (int c = 0; c < used; ++c)
        for (long i = 0; i < count; ++i) ch[c][i] = (*v.s)[static_cast<size_t>((start + i) * v.channels + c)];
    return 0;
}

// samples must come in order and be finite
template <typename S>
int checkSink(void *, int, long, long count, const S *const *ch) {
    for (long i = 0; i < count; ++i)
        if (!std::isfinite(ch[0][i])) __builtin_trap();
    return 0;
}

// The command line's path: framing, V (as doubles and floats), a start, a
// few rounds with some bases held, the outputs.
void stream(Bytes &in, const std::vector<float> &sound, int channels, double rate) {
    if (channels < 1) return;
    static const double windows[] = {0.08, 0.01, 0.0005, 0, kNaN};
    static const double hops[] = {0.25, 0.5, 0.75, 0.9, 0.01};
    const long length = static_cast<long>(sound.size()) / channels;
    const int used = channels < 2 ? 1 : 2;
    const double window = in.pick(windows), hop = in.pick(hops);
    const kve_rows mode = in.u8() % 2 ? KVE_STACK : KVE_SUM;
    kve_streamShape s;
    if (kve_streamShapeOf(window, static_cast<float>(hop), rate, length, used, mode, &s) != KVE_OK) return;
    if (static_cast<double>(s.rows) * s.frames > kMaxCells) return;
    SoundView view{&sound, channels};
    kve_source src{readSound, &view};
    std::vector<double> Vd(static_cast<size_t>(s.rows) * s.frames);
    std::vector<float> V(Vd.size());
    const int threads = 1 + in.u8() % 2;
    if (kve_streamAnalyse(&s, src, Vd.data(), threads) != KVE_OK ||
        kve_streamAnalyseFloat(&s, src, V.data(), threads) != KVE_OK)
        return;
    const int K = 1 + in.u8() % 8;
    std::vector<double> W(static_cast<size_t>(s.rows) * K), H(static_cast<size_t>(K) * s.frames);
    if (in.u8() % 2)
        kve_randomStart(in.u16(), s.rows, static_cast<int>(s.frames), K, W.data(), H.data());
    else if (kve_nndsvdaStart(V.data(), s.rows, static_cast<int>(s.frames), K, in.u16(), W.data(), H.data()) != 0)
        return;
    const int eucl = in.u8() % 2, rounds = in.u8() % 4, held = in.u8() % (K + 2);
    qm_NMFFromFixed(eucl, V.data(), s.rows, static_cast<int>(s.frames), K, held, rounds, W.data(), H.data(), nullptr,
                    nullptr);
    qm_NMFFrom(eucl, Vd.data(), s.rows, static_cast<int>(s.frames), K, rounds, W.data(), H.data(), nullptr, nullptr);
    kve_klDivergence(V.data(), W.data(), H.data(), s.rows, static_cast<int>(s.frames), K);
    kve_klEstimate(V.data(), W.data(), H.data(), s.rows, static_cast<int>(s.frames), K);
    std::vector<int> comps;
    for (int k = 0; k < K; ++k) comps.push_back(k);
    const int first = in.u8() % K;
    kve_output outs[2] = {{comps.data() + first, 1}, {comps.data(), 1 + in.u8() % K}};
    const int threads2 = 1 + in.u8() % 2;
    const kve_filter filter = in.u8() % 2 ? KVE_SPATIAL : KVE_MASKS;
    static const double powers[] = {1.0, 1.5, 4.0};
    const double power = in.pick(powers);
    if (power != 1.0)
        kve_maskFactors(W.data(), H.data(), s.rows, static_cast<int>(s.frames), K, power, W.data(), H.data());
    if (in.u8() % 2)
        kve_streamResynthSingleFiltered(&s, src, W.data(), H.data(), K, outs, 2,
                                        kve_sinkSingle{checkSink<float>, nullptr}, threads2, filter);
    else
        kve_streamResynthFiltered(&s, src, W.data(), H.data(), K, outs, 2, kve_sink{checkSink<double>, nullptr},
                                  threads2, filter);
}

void shapeOnly(Bytes &in) {
    kve_shapeInput si{in.f32(), in.f32(), in.f32(), in.f32(), in.f32(), in.f32()};
    kve_shape shape;
    kve_shapeDetail detail;
    kve_shapeOf(&si, &shape, &detail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Bytes in(data, size);
    Engine g;
    std::vector<float> sound;
    int channels = 0;
    double rate = 44100;
    for (int ops = 0; !in.empty() && ops < 24; ++ops) {
        switch (in.u8() % 12) {
        case 0:
            load(in, g, sound, channels, rate);
            break;
        case 1:
            settings(in, g);
            break;
        case 2:
            analyse(g);
            break;
        case 3:
            factorize(in, g);
            break;
        case 4:
            addLayer(in, g);
            break;
        case 5:
            kve_resynthesise(&g.e);
            break;
        case 6:
            kve_clearMask(&g.e);
            break;
        case 7:
            kve_setAllocFailure(in.u8() % 40);
            break;
        case 8:
            readComponents(g);
            break;
        case 9:
            in.u8() % 2 ? kve_dropOutput(&g.e) : kve_dropModel(&g.e);
            break;
        case 10:
            stream(in, sound, channels, rate);
            break;
        default:
            shapeOnly(in);
            break;
        }
    }
    return 0;
}
