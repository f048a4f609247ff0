// The hot path at the sizes of a minute of sound (F = 2049 bins, N = 4096,
// hop 1024, T = 2600 frames, K = 10, 100 rounds), each beside plain loops of
// the same arithmetic in the same run. The factorisations run on one and on
// two threads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <vector>

#include <Accelerate/Accelerate.h>

#include "nmf_internal.h"
#include "plain_refs.hpp"
#include "kv_stream.h"
#include "qm_audio.h"
#include "qm_matrixOps.h"

#ifdef _OPENMP
#include <omp.h>
#endif

extern "C" void openblas_set_num_threads(int);

namespace {

constexpr int kF = 2049, kN = 4096, kHop = 1024, kK = 10, kIter = 100;

void setThreads(int n) {
#ifdef _OPENMP
    omp_set_num_threads(n);
#endif
    openblas_set_num_threads(n);
}

// a sound of partials with moving envelopes, and a little noise
const std::vector<double> &sound(int frames) {
    static std::vector<double> x;
    const size_t n = (size_t)(frames - 1) * kHop + kN;
    if (x.size() != n) {
        x.resize(n);
        srand(3);
        for (size_t i = 0; i < n; i++) {
            double s = 0.0;
            for (int p = 1; p <= 6; p++)
                s += std::sin(2.0 * M_PI * 110.0 * p * i / 44100.0) *
                     (0.5 + 0.5 * std::sin(2.0 * M_PI * 0.3 * p * i / 44100.0)) / p;
            x[i] = 0.3 * s + 0.01 * (rand() / 2147483647.0 - 0.5);
        }
    }
    return x;
}

FFTSetupD setup() {
    static FFTSetupD s = vDSP_create_fftsetupD(12, kFFTRadix2);
    return s;
}

struct Spectrogram {
    int T = 0;
    std::vector<double> re, im, mag;
};

const Spectrogram &spectrogram(int T) {
    static Spectrogram s;
    if (s.T != T) {
        s.T = T;
        s.re.assign((size_t)kF * T, 0.0);
        s.im.assign((size_t)kF * T, 0.0);
        qm_STFT(setup(), sound(T).data(), kN, T, kHop, s.re.data(), s.im.data());
        s.mag.resize((size_t)kF * T);
        for (size_t i = 0; i < s.mag.size(); i++) s.mag[i] = std::hypot(s.re[i], s.im[i]);
    }
    return s;
}

using Whole = int (*)(const double *, int, int, int, int, double *, double *);
using Loop = void (*)(const double *, int, int, int, int, double *, double *);

void runWhole(benchmark::State &st, Whole nmf) {
    const int T = (int)st.range(0);
    setThreads((int)st.range(1));
    const Spectrogram &s = spectrogram(T);
    std::vector<double> W((size_t)kF * kK), H((size_t)kK * T);
    double ms = 0.0;
    for (auto _ : st) {
        srand(1);
        auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(nmf(s.mag.data(), kF, T, kK, kIter, W.data(), H.data()));
        ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    }
    st.counters["ms_per_round"] = benchmark::Counter(ms / kIter, benchmark::Counter::kAvgIterations);
}

void runLoop(benchmark::State &st, Loop loop) {
    const int T = (int)st.range(0);
    setThreads((int)st.range(1));
    const Spectrogram &s = spectrogram(T);
    std::vector<double> W((size_t)kF * kK), H((size_t)kK * T);
    for (auto _ : st) {
        srand(1);
        qm_initNMF(kF, T, kK, W.data(), H.data());
        loop(s.mag.data(), kF, T, kK, kIter, W.data(), H.data());
        benchmark::ClobberMemory();
    }
}

void BM_klNMF(benchmark::State &st) {
    runWhole(st, qm_klNMF);
}
// the library's whole-matrix passes through the vector layer
void libKl(const double *V, int F, int T, int K, int iter, double *W, double *H) {
    qm_klIterate(V, F, T, K, iter, W, H);
}
void BM_klWholeMatrixPasses(benchmark::State &st) {
    runLoop(st, libKl);
}
void BM_klPlainLoops(benchmark::State &st) {
    runLoop(st, plain::klIterate);
}
void BM_euclNMF(benchmark::State &st) {
    runWhole(st, qm_euclNMF);
}
void BM_euclPlainLoops(benchmark::State &st) {
    runLoop(st, plain::euclIterate);
}

void BM_STFT(benchmark::State &st) {
    const int T = (int)st.range(0);
    const std::vector<double> &x = sound(T);
    std::vector<double> re((size_t)kF * T), im((size_t)kF * T);
    for (auto _ : st) benchmark::DoNotOptimize(qm_STFT(setup(), x.data(), kN, T, kHop, re.data(), im.data()));
}

void BM_STFTPlain(benchmark::State &st) {
    const int T = (int)st.range(0);
    const std::vector<double> &x = sound(T);
    std::vector<double> re((size_t)kF * T), im((size_t)kF * T);
    for (auto _ : st) {
        plain::stft(x.data(), kN, T, kHop, re.data(), im.data());
        benchmark::ClobberMemory();
    }
}

// mask of two components of a factorisation, model the whole product
struct WienerInput {
    std::vector<double> mask, model;
};

const WienerInput &wienerInput(int T) {
    static WienerInput w;
    static int made = 0;
    if (made != T) {
        made = T;
        const Spectrogram &s = spectrogram(T);
        std::vector<double> W((size_t)kF * kK), H((size_t)kK * T);
        srand(2);
        qm_initNMF(kF, T, kK, W.data(), H.data());
        w.mask.assign((size_t)kF * T, 0.0);
        w.model.assign((size_t)kF * T, 0.0);
        for (int f = 0; f < kF; f++)
            for (int k = 0; k < kK; k++)
                for (int t = 0; t < T; t++) {
                    double p = W[(size_t)f * kK + k] * H[(size_t)k * T + t];
                    w.model[(size_t)f * T + t] += p;
                    if (k < 2) w.mask[(size_t)f * T + t] += p;
                }
        (void)s;
    }
    return w;
}

void BM_wienerResynth(benchmark::State &st) {
    const int T = (int)st.range(0);
    const Spectrogram &s = spectrogram(T);
    const WienerInput &w = wienerInput(T);
    std::vector<double> out((size_t)(T - 1) * kHop + kN);
    for (auto _ : st)
        benchmark::DoNotOptimize(qm_wienerResynth(w.mask.data(), w.model.data(), s.re.data(), s.im.data(), kF, T,
                                                  setup(), kN, kHop, out.data()));
}

void BM_wienerResynthPlain(benchmark::State &st) {
    const int T = (int)st.range(0);
    const Spectrogram &s = spectrogram(T);
    const WienerInput &w = wienerInput(T);
    std::vector<double> out((size_t)(T - 1) * kHop + kN);
    for (auto _ : st) {
        plain::wienerResynth(w.mask.data(), w.model.data(), s.re.data(), s.im.data(), T, kN, kHop, out.data());
        benchmark::ClobberMemory();
    }
}

// A minute of stereo at 44.1 kHz through the streaming passes: 0.08 s window,
// hop a quarter, summed rows, K = 10, every component an output.
struct StreamInput {
    kve_streamShape s{};
    std::vector<double> left, right, W, H;
};

const StreamInput &streamInput() {
    static StreamInput in;
    if (in.left.empty()) {
        const long L = 44100L * 60;
        kve_streamShapeOf(0.08, 0.25f, 44100, L, 2, KVE_SUM, &in.s);
        const std::vector<double> &x = sound(int((L - kN) / kHop) + 2);
        in.left.assign(x.begin(), x.begin() + L);
        in.right.assign(x.rbegin(), x.rbegin() + L);
        srand(4);
        in.W.resize((size_t)in.s.rows * kK);
        in.H.resize((size_t)kK * in.s.frames);
        for (double &v : in.W) v = rand() / 2147483647.0;
        for (double &v : in.H) v = rand() / 2147483647.0;
    }
    return in;
}

int streamRead(void *user, long start, long count, double *const *ch) {
    const StreamInput *in = static_cast<const StreamInput *>(user);
    std::copy(in->left.begin() + start, in->left.begin() + start + count, ch[0]);
    std::copy(in->right.begin() + start, in->right.begin() + start + count, ch[1]);
    return 0;
}

// touches every sample, as a writer converting to a file's format would
template <typename S>
int streamWrite(void *user, int, long, long count, const S *const *ch) {
    double &sum = *static_cast<double *>(user);
    for (long i = 0; i < count; i++) sum += ch[0][i] + ch[1][i];
    return 0;
}

void BM_streamAnalyse(benchmark::State &st) {
    const StreamInput &in = streamInput();
    std::vector<double> V((size_t)in.s.rows * in.s.frames);
    for (auto _ : st)
        benchmark::DoNotOptimize(kve_streamAnalyse(&in.s, {streamRead, (void *)&in}, V.data(), (int)st.range(0)));
}

// range(2): 1 for the single-precision pass
void BM_streamResynth(benchmark::State &st) {
    const StreamInput &in = streamInput();
    const int outputs = (int)st.range(0);
    std::vector<int> comps(kK);
    std::vector<kve_output> outs;
    for (int k = 0; k < outputs; k++) {
        comps[k] = k;
        outs.push_back({&comps[k], 1});
    }
    double sum = 0.0;
    const kve_source src{streamRead, (void *)&in};
    for (auto _ : st)
        benchmark::DoNotOptimize(st.range(2)
                                     ? kve_streamResynthSingle(&in.s, src, in.W.data(), in.H.data(), kK, outs.data(),
                                                               outputs, {streamWrite<float>, &sum}, (int)st.range(1))
                                     : kve_streamResynth(&in.s, src, in.W.data(), in.H.data(), kK, outs.data(), outputs,
                                                         {streamWrite<double>, &sum}, (int)st.range(1)));
    st.counters["frames"] = in.s.frames;
}

// The model's rounds beside the plain fused Kullback-Leibler rounds on the
// command line's shape: two channels' rows (2 x 2049), 5200 frames, K = 10.
struct ModelInput {
    int rows = 2 * kF, frames = 5200;
    std::vector<float> V;
    std::vector<double> W, H;
};

const ModelInput &modelInput() {
    static ModelInput in;
    if (in.V.empty()) {
        const Spectrogram &s = spectrogram(in.frames);
        in.V.resize((size_t)in.rows * in.frames);
        for (size_t i = 0; i < in.V.size(); i++)
            in.V[i] = (float)s.mag[i % s.mag.size()] * (i < s.mag.size() ? 1.0f : 0.7f);
        srand(5);
        in.W.resize((size_t)in.rows * kK);
        in.H.resize((size_t)kK * in.frames);
        for (double &v : in.W) v = 0.1 + rand() / 2147483647.0;
        for (double &v : in.H) v = 0.1 + rand() / 2147483647.0;
    }
    return in;
}

// range(0): 0 the plain rounds; 1 beta 1 with a tiny l1H; 2 beta 1 with
// penalties and continuity; 3 beta 0; 4 beta 0.5; 5 beta 2 (l1H); 6 beta 3.
// range(2): 1 in single precision (the plain rounds: beta 1 without
// penalties, as the command line runs them).
void BM_modelRounds(benchmark::State &st) {
    const int kind = (int)st.range(0), rounds = 10, single = (int)st.range(2);
    setThreads((int)st.range(1));
    const ModelInput &in = modelInput();
    const double betas[] = {1, 1, 1, 0, 0.5, 2, 3};
    kve_model m = kve_plainModel(KVE_KULLBACK_LEIBLER);
    m.beta = betas[kind];
    m.l1H = kind == 0 ? 0.0 : 1e-9;
    if (kind == 2) m.l1W = m.l2W = m.l2H = 1e-3, m.continuity = 0.1;
    double ms = 0.0;
    for (auto _ : st) {
        std::vector<double> W = in.W, H = in.H;
        auto t0 = std::chrono::steady_clock::now();
        if (single)
            benchmark::DoNotOptimize(kve_modelRoundsIn(KVE_SINGLE, &m, in.V.data(), in.rows, in.frames, kK, 0, W.data(),
                                                       H.data(), rounds, nullptr, nullptr));
        else if (kind == 0)
            benchmark::DoNotOptimize(
                qm_NMFFromFloat(0, in.V.data(), in.rows, in.frames, kK, rounds, W.data(), H.data(), nullptr, nullptr));
        else
            benchmark::DoNotOptimize(
                kve_modelRounds(&m, in.V.data(), in.rows, in.frames, kK, W.data(), H.data(), rounds, nullptr, nullptr));
        ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    }
    st.counters["ns_per_cell_round"] =
        benchmark::Counter(ms * 1e6 / rounds / ((double)in.rows * in.frames), benchmark::Counter::kAvgIterations);
}

// Convolutive rounds, span 4, on the first 1300 frames of the same V:
// range(0) ten times the beta (2 runs through the Gram matrices, 0.3 pow), range(1)
// threads, range(2) 1 in single precision. Wall and process CPU time per
// cell and round.
void BM_convolutiveRounds(benchmark::State &st) {
    const int rounds = 10, single = (int)st.range(2), frames = 1300, span = 4;
    setThreads((int)st.range(1));
    const ModelInput &in = modelInput();
    std::vector<float> V((size_t)in.rows * frames);
    for (int r = 0; r < in.rows; r++)
        std::copy_n(in.V.begin() + (size_t)r * in.frames, frames, V.begin() + (size_t)r * frames);
    kve_model m = kve_plainModel(KVE_KULLBACK_LEIBLER);
    m.beta = 0.1 * (double)st.range(0);
    m.span = span;
    std::vector<double> W0((size_t)span * in.rows * kK), H0((size_t)kK * frames), H1(H0.size());
    for (int k = 0; k < kK; k++)
        std::copy_n(in.H.begin() + (size_t)k * in.frames, frames, H1.begin() + (size_t)k * frames);
    kve_convolutiveStart(in.W.data(), H1.data(), in.rows, frames, kK, span, W0.data(), H0.data());
    double ms = 0.0, cpu = 0.0;
    for (auto _ : st) {
        std::vector<double> W = W0, H = H0;
        const auto t0 = std::chrono::steady_clock::now();
        const std::clock_t c0 = std::clock();
        benchmark::DoNotOptimize(kve_modelRoundsIn(single ? KVE_SINGLE : KVE_DOUBLE, &m, V.data(), in.rows, frames, kK,
                                                   0, W.data(), H.data(), rounds, nullptr, nullptr));
        cpu += 1e3 * double(std::clock() - c0) / CLOCKS_PER_SEC;
        ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    }
    const double cells = (double)rounds * in.rows * frames;
    st.counters["ns_per_cell_round"] = benchmark::Counter(ms * 1e6 / cells, benchmark::Counter::kAvgIterations);
    st.counters["cpu_ns_per_cell_round"] = benchmark::Counter(cpu * 1e6 / cells, benchmark::Counter::kAvgIterations);
}

// BM_modelRounds on a long sound: 2 x 2049 rows and range(3) frames
// (150,000 is an hour), the model input's spectrogram repeated at changing
// levels. H and its sums outgrow the caches; every cell-round reads V from
// memory.
struct LongInput {
    int rows = 2 * kF, frames = 0;
    std::vector<float> V;
    std::vector<double> W, H;
};

const LongInput &longInput(int frames) {
    static LongInput in;
    if (in.frames != frames) {
        const ModelInput &m = modelInput();
        in.frames = frames;
        in.V.assign((size_t)in.rows * frames, 0.0f);
        for (size_t f = 0; f < (size_t)in.rows; f++)
            for (size_t t = 0; t < (size_t)frames; t++)
                in.V[f * frames + t] = m.V[f * m.frames + t % m.frames] * (0.5f + 0.1f * (float)(t / m.frames % 7));
        srand(6);
        in.W.resize((size_t)in.rows * kK);
        in.H.resize((size_t)kK * frames);
        for (double &v : in.W) v = 0.1 + rand() / 2147483647.0;
        for (double &v : in.H) v = 0.1 + rand() / 2147483647.0;
    }
    return in;
}

// range(0): 1 beta 1 with a tiny l1H, 4 beta 0.5; range(1) threads;
// range(2) single; range(3) frames
void BM_modelRoundsLong(benchmark::State &st) {
    const int kind = (int)st.range(0), rounds = 3, single = (int)st.range(2);
    setThreads((int)st.range(1));
    const LongInput &in = longInput((int)st.range(3));
    kve_model m = kve_plainModel(KVE_KULLBACK_LEIBLER);
    m.beta = kind == 4 ? 0.5 : 1.0;
    m.l1H = 1e-9;
    double ms = 0.0;
    for (auto _ : st) {
        std::vector<double> W = in.W, H = in.H;
        auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(kve_modelRoundsIn(single ? KVE_SINGLE : KVE_DOUBLE, &m, in.V.data(), in.rows,
                                                   in.frames, kK, 0, W.data(), H.data(), rounds, nullptr, nullptr));
        ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    }
    st.counters["ns_per_cell_round"] =
        benchmark::Counter(ms * 1e6 / rounds / ((double)in.rows * in.frames), benchmark::Counter::kAvgIterations);
}

// The floor of the rounds: a cell-round at K = 10 is 4 K = 40 multiply-adds
// (the approximation and the sums, in each of the W and H passes). Here
// only multiply-adds, 16 float lanes (range(0) 1) or 8 double lanes, twelve
// independent chains, on range(1) threads: ns per 40 multiply-adds a lane.
template <typename V, typename S>
__attribute__((target("avx512f"), noinline)) S fmaChains(long n, S x0) {
    const V x = V{} + x0;
    V a[12];
    for (int i = 0; i < 12; i++) a[i] = x * (S)(1 + i);
    const V m = x * (S)0.999, c = x * (S)1e-3;
    for (long r = 0; r < n; r++)
        for (int i = 0; i < 12; i++) a[i] = a[i] * m + c;
    V s = a[0];
    for (int i = 1; i < 12; i++) s += a[i];
    return s[0];
}

void BM_fmaFloor(benchmark::State &st) {
    typedef float vf __attribute__((vector_size(64)));
    typedef double vd __attribute__((vector_size(64)));
    const int single = (int)st.range(0), threads = (int)st.range(1);
    const long n = 20000000;
    double ms = 0.0;
    for (auto _ : st) {
        auto t0 = std::chrono::steady_clock::now();
#pragma omp parallel num_threads(threads)
        {
            if (single)
                benchmark::DoNotOptimize(fmaChains<vf, float>(n, 1.0f));
            else
                benchmark::DoNotOptimize(fmaChains<vd, double>(n, 1.0));
        }
        ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    }
    const double lanes = (double)n * 12 * (single ? 16 : 8) * threads;
    st.counters["ns_per_40_fma"] = benchmark::Counter(ms * 1e6 / lanes * 40, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_fmaFloor)
    ->ArgNames({"single", "threads"})
    ->ArgsProduct({{0, 1}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();

// Whole calls of about a second: a few single runs, their median reported.
#define KV_SLOW(b)                                                                                                     \
    BENCHMARK(b)                                                                                                       \
        ->Unit(benchmark::kMillisecond)                                                                                \
        ->Iterations(1)                                                                                                \
        ->Repetitions(3)                                                                                               \
        ->ReportAggregatesOnly(true)                                                                                   \
        ->UseRealTime()

KV_SLOW(BM_klNMF)->ArgNames({"T", "threads"})->Args({2600, 1})->Args({2600, 2})->Args({10000, 1})->Args({10000, 2});
KV_SLOW(BM_klWholeMatrixPasses)->ArgNames({"T", "threads"})->Args({2600, 1})->Args({2600, 2});
BENCHMARK(BM_klPlainLoops)
    ->ArgNames({"T", "threads"})
    ->Args({2600, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();
KV_SLOW(BM_euclNMF)->ArgNames({"T", "threads"})->Args({2600, 1})->Args({2600, 2});
KV_SLOW(BM_euclPlainLoops)->ArgNames({"T", "threads"})->Args({2600, 1});
BENCHMARK(BM_modelRounds)
    ->ArgNames({"kind", "threads", "single"})
    ->ArgsProduct({{0, 1, 2, 3, 4, 5}, {1, 2}, {0, 1}})
    ->Args({6, 1, 0})
    ->Args({6, 1, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();
BENCHMARK(BM_convolutiveRounds)
    ->ArgNames({"beta10", "threads", "single"})
    ->ArgsProduct({{10, 20, 5, 3}, {1}, {0, 1}})
    ->Args({5, 2, 0})
    ->Args({5, 2, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();
BENCHMARK(BM_modelRoundsLong)
    ->ArgNames({"kind", "threads", "single", "T"})
    ->ArgsProduct({{1, 4}, {1, 2}, {0, 1}, {60000, 150000}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(2)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();
BENCHMARK(BM_STFT)->ArgName("T")->Arg(2600)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_STFTPlain)->ArgName("T")->Arg(2600)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_wienerResynth)->ArgName("T")->Arg(2600)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_wienerResynthPlain)->ArgName("T")->Arg(2600)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_streamAnalyse)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_streamResynth)
    ->ArgNames({"outputs", "threads", "single"})
    ->Args({1, 2, 0})
    ->Args({10, 1, 0})
    ->Args({10, 2, 0})
    ->Args({10, 1, 1})
    ->Args({10, 2, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
