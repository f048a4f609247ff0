// The one-pass resynthesis: components that sum to the sound (edges
// included), groups, a reference built from naive transforms, silence, no
// frame cap, callback failures, and the spatial filter.
#include "dft_reference.hpp"
#include "stream_fixtures.hpp"

extern "C" {
#include "model_internal.h"  // the choice of vector copies
}

#include <cfloat>
#include <cmath>

namespace {

struct Case {
    kve_streamShape s;
    int K;
    std::vector<double> W, H;
    kvt::Chans x;
};

Case make_case(int N, int hop, long L, int ch, kve_rows mode, int K, int zero_every = 0) {
    Case r;
    EXPECT_EQ(kve_streamShapeOf(N, float(hop) / float(N), 1.0, L, ch, mode, &r.s), KVE_OK);
    r.K = K;
    r.W = kvt::factor(size_t(r.s.rows) * K, unsigned(N + K), zero_every);
    r.H = kvt::factor(size_t(K) * size_t(r.s.frames), unsigned(hop + L), zero_every);
    r.x = kvt::sound(ch, L, unsigned(L));
    return r;
}

// every output of r over its outputs, collected; single: the float pass
std::vector<kvt::Chans> resynth(const Case &r, const std::vector<std::vector<int>> &sets,
                                int threads = 2, bool single = false,
                                kve_filter filter = KVE_MASKS) {
    std::vector<kve_output> outs;
    for (auto &set : sets) outs.push_back({set.data(), int(set.size())});
    kvt::Source src{r.x};
    kvt::Sink sink(int(sets.size()), r.s.channels, r.s.length);
    const int count = int(outs.size());
    EXPECT_EQ(single ? kve_streamResynthSingleFiltered(&r.s, src.source(), r.W.data(), r.H.data(),
                                                       r.K, outs.data(), count, sink.sinkSingle(),
                                                       threads, filter)
                     : kve_streamResynthFiltered(&r.s, src.source(), r.W.data(), r.H.data(), r.K,
                                                 outs.data(), count, sink.sink(), threads, filter),
              KVE_OK);
    for (long n : sink.next) EXPECT_EQ(n, r.s.length) << "every sample written";
    return sink.out;
}

std::vector<std::vector<int>> singles(int K) {
    std::vector<std::vector<int>> sets;
    for (int k = 0; k < K; k++) sets.push_back({k});
    return sets;
}

kvt::Chans sum(const std::vector<kvt::Chans> &outs) {
    kvt::Chans s = outs[0];
    for (size_t o = 1; o < outs.size(); o++)
        for (size_t c = 0; c < s.size(); c++)
            for (size_t n = 0; n < s[c].size(); n++) s[c][n] += outs[o][c][n];
    return s;
}

}  // namespace

TEST(StreamResynth, ComponentsSumToTheSoundEdgesIncluded) {
    const int N = 64;
    for (int hop : {N / 4, N / 8, 3 * N / 4, 13})
        for (int ch : {1, 2})
            for (kve_rows mode : {KVE_SUM, KVE_STACK}) {
                // frames across several blocks, the last one partial
                const Case r = make_case(N, hop, 3001, ch, mode, 5);
                const kvt::Chans total = sum(resynth(r, singles(r.K)));
                // masks that sum to 1 up to rounding: error a few eps
                EXPECT_LT(kvt::rel_rms(total, r.x), 1e-9)
                    << "hop " << hop << " ch " << ch << " mode " << mode;
                for (size_t c = 0; c < r.x.size(); c++)
                    for (size_t n : {size_t(0), size_t(1), r.x[c].size() - 1})
                        EXPECT_NEAR(total[c][n], r.x[c][n], 1e-12) << "sample " << n;
            }
}

TEST(StreamResynth, AOneShotKeepsItsAttackAtSampleZero) {
    Case r = make_case(256, 64, 4000, 1, KVE_SUM, 3);
    for (long n = 0; n < r.s.length; n++)  // full level at sample 0, then a decay
        r.x[0][size_t(n)] = std::exp(-double(n) / 300.0) * std::cos(0.3 * double(n));
    const std::vector<kvt::Chans> outs = resynth(r, singles(r.K));
    const kvt::Chans total = sum(outs);
    for (size_t n = 0; n < 32; n++) ASSERT_NEAR(total[0][n], r.x[0][n], 1e-12) << n;
    // each part carries a share of the attack, not a fade-in
    double first = 0;
    for (auto &o : outs) first += std::fabs(o[0][0]);
    EXPECT_GT(first, 0.5);
}

TEST(StreamResynth, AGroupIsTheSumOfItsComponents) {
    for (kve_rows mode : {KVE_SUM, KVE_STACK}) {
        const Case r = make_case(32, 8, 700, 2, mode, 4);
        const auto outs = resynth(r, {{0}, {2}, {3}, {2, 0, 3}});
        const kvt::Chans parts = sum(std::vector<kvt::Chans>{outs[0], outs[1], outs[2]});
        EXPECT_LT(kvt::rel_rms(outs[3], parts), 1e-12) << "mode " << mode;
    }
}

static void expectMaskedNaive(int N, int hop);

TEST(StreamResynth, MatchesMaskedNaiveTransformsNormalisedByTheWindowOverlap) {
    // an odd hop too: frames then start on odd samples; over several blocks
    for (int hop : {8, 7}) expectMaskedNaive(32, hop);
}

static void expectMaskedNaive(int N, int hop) {
    const int K = 3;
    const Case r = make_case(N, hop, 400, 1, KVE_SUM, K);
    const auto outs = resynth(r, {{1}, {0, 2}});
    const kve_streamShape &s = r.s;
    const int T = int(s.frames), bins = s.bins;
    std::vector<double> padded(size_t(s.lead), 0.0);
    padded.insert(padded.end(), r.x[0].begin(), r.x[0].end());
    padded.resize(size_t(T - 1) * hop + N, 0.0);
    std::vector<double> re, im;
    ref::stft(padded, N, T, hop, re, im);
    // the overlap sum of the squared window, sample by sample
    std::vector<double> g = ref::sqrt_blackman(N), D(padded.size(), 0.0);
    for (int t = 0; t < T; t++)
        for (int n = 0; n < N; n++) D[size_t(t) * hop + n] += g[n] * g[n];
    const std::vector<std::vector<int>> sets = {{1}, {0, 2}};
    for (size_t o = 0; o < sets.size(); o++) {
        std::vector<double> mre(re), mim(im), y(padded.size(), 0.0);
        for (int b = 0; b < bins; b++)
            for (int t = 0; t < T; t++) {
                double num = 0, den = 0;
                for (int k = 0; k < K; k++) {
                    const double wh = r.W[size_t(b) * K + k] * r.H[size_t(k) * T + t];
                    den += wh;
                    for (int m : sets[o]) num += m == k ? wh : 0.0;
                }
                mre[size_t(b) * T + t] *= num / den;
                mim[size_t(b) * T + t] *= num / den;
            }
        ref::istft(mre, mim, N, T, hop, y);
        for (long n = 0; n < s.length; n++)
            ASSERT_NEAR(outs[o][0][size_t(n)], y[size_t(n + s.lead)] / D[size_t(n + s.lead)], 1e-12)
                << "hop " << hop << " output " << o << " sample " << n;
    }
}

TEST(StreamResynth, SilenceAndUnmodelledCellsGiveNoNaN) {
    // silence through factors with zeros: every mask 0 / 0 somewhere
    Case r = make_case(32, 8, 400, 2, KVE_STACK, 3, 2);
    for (auto &c : r.x) std::fill(c.begin(), c.end(), 0.0);
    std::fill(r.H.begin(), r.H.end(), 0.0);
    for (auto &o : resynth(r, {{0}, {1, 2}}))
        for (auto &c : o)
            for (double v : c) ASSERT_EQ(v, 0.0);
    // a sound where the model is 0 still splits into parts that sum to it
    r.x = kvt::sound(2, 400, 9);
    const kvt::Chans total = sum(resynth(r, singles(3)));
    EXPECT_LT(kvt::rel_rms(total, r.x), 1e-12);
}

TEST(StreamResynth, NoFrameCapAndTheSameOnOneThread) {
    // 240 s at 1 kHz, N 16, hop 12: 20000 frames, twice the object's cap
    kve_streamShape s;
    ASSERT_EQ(kve_streamShapeOf(0.016, 0.75f, 1000, 240000, 2, KVE_SUM, &s), KVE_OK);
    EXPECT_GT(s.frames, 10000);
    Case r = make_case(16, 12, 240000, 2, KVE_SUM, 2);
    kvt::Source src{r.x};
    std::vector<double> V(size_t(r.s.rows) * size_t(r.s.frames));
    ASSERT_EQ(kve_streamAnalyse(&r.s, src.source(), V.data(), 2), KVE_OK);
    const auto outs = resynth(r, singles(2), 2);
    EXPECT_LT(kvt::rel_rms(sum(outs), r.x), 1e-9);
    const Case small = make_case(64, 16, 3000, 2, KVE_STACK, 4);
    EXPECT_EQ(resynth(small, singles(4), 1), resynth(small, singles(4), 2)) << "bit for bit";
}

TEST(StreamResynth, CallbackFailuresStopTheWork) {
    const Case r = make_case(32, 8, 2000, 2, KVE_SUM, 2);
    const int set[] = {0, 1};
    const kve_output out = {set, 2};
    kvt::Source src{r.x};
    src.fail_at = 1000;
    kvt::Sink sink(1, 2, r.s.length);
    EXPECT_EQ(
        kve_streamResynth(&r.s, src.source(), r.W.data(), r.H.data(), 2, &out, 1, sink.sink(), 2),
        KVE_SOURCE_FAILED);
    EXPECT_LT(sink.next[0], 1000) << "nothing written past the failure";
    kvt::Source again{r.x};
    kvt::Sink failing(1, 2, r.s.length);
    failing.fail_after = 1;
    EXPECT_EQ(kve_streamResynth(&r.s, again.source(), r.W.data(), r.H.data(), 2, &out, 1,
                                failing.sink(), 2),
              KVE_SINK_FAILED);
    EXPECT_LT(again.next, r.s.length) << "reading stopped";
    kvt::Source third{r.x};
    third.fail_at = 10;
    std::vector<double> V(size_t(r.s.rows) * size_t(r.s.frames));
    EXPECT_EQ(kve_streamAnalyse(&r.s, third.source(), V.data(), 2), KVE_SOURCE_FAILED);
    kvt::Source bad{r.x};
    bad.x[1][1500] = NAN;
    EXPECT_EQ(kve_streamAnalyse(&r.s, bad.source(), V.data(), 2), KVE_NOT_FINITE);
}

TEST(StreamResynth, BadOutputsAndFactorsAreRefused) {
    Case r = make_case(32, 8, 200, 1, KVE_SUM, 3);
    kvt::Source src{r.x};
    kvt::Sink sink(1, 1, r.s.length);
    auto run = [&](std::vector<int> set) {
        const kve_output out = {set.data(), int(set.size())};
        return kve_streamResynth(&r.s, src.source(), r.W.data(), r.H.data(), 3, &out, 1,
                                 sink.sink(), 2);
    };
    EXPECT_EQ(run({3}), KVE_BAD_ARGUMENT);
    EXPECT_EQ(run({-1}), KVE_BAD_ARGUMENT);
    EXPECT_EQ(run({1, 1}), KVE_BAD_ARGUMENT);
    EXPECT_EQ(run({}), KVE_BAD_ARGUMENT);
    r.W[5] = -1.0;
    EXPECT_EQ(run({0}), KVE_BAD_ARGUMENT);
    r.W[5] = INFINITY;
    EXPECT_EQ(run({0}), KVE_BAD_ARGUMENT);
    EXPECT_EQ(sink.calls, 0);
    EXPECT_EQ(src.calls, 0);
}

// The single-precision pass: the double pass's outputs to float's rounding,
// the components still summing to the sound with its edges, groups, silence
// without NaN, the same bits on one or two threads, and factors beyond
// float's range refused before anything is read or written.
namespace {

std::vector<kvt::Chans> resynthSingle(const Case &r, const std::vector<std::vector<int>> &sets,
                                      int threads = 2) {
    return resynth(r, sets, threads, true);
}

}  // namespace

TEST(StreamResynthSingle, FollowsTheDoublePassToFloatRounding) {
    for (int hop : {16, 13})
        for (int ch : {1, 2})
            for (kve_rows mode : {KVE_SUM, KVE_STACK}) {
                const Case r = make_case(64, hop, 3001, ch, mode, 5);
                const std::vector<std::vector<int>> sets = {{0}, {1}, {2}, {3}, {4}, {1, 3}};
                const auto d = resynth(r, sets), f = resynthSingle(r, sets);
                for (size_t o = 0; o < sets.size(); o++)
                    EXPECT_LT(kvt::rel_rms(f[o], d[o]), 1e-5)
                        << "output " << o << " hop " << hop << " ch " << ch;
                const kvt::Chans total = sum(std::vector<kvt::Chans>(f.begin(), f.begin() + 5));
                EXPECT_LT(kvt::rel_rms(total, r.x), 1e-6);
                for (size_t c = 0; c < r.x.size(); c++)
                    for (size_t n : {size_t(0), size_t(1), r.x[c].size() - 1})
                        EXPECT_NEAR(total[c][n], r.x[c][n], 1e-5) << "edge sample " << n;
            }
}

TEST(StreamResynthSingle, SilenceThreadsAndRange) {
    Case r = make_case(32, 8, 400, 2, KVE_STACK, 3, 2);
    for (auto &c : r.x) std::fill(c.begin(), c.end(), 0.0);
    std::fill(r.H.begin(), r.H.end(), 0.0);
    for (auto &o : resynthSingle(r, {{0}, {1, 2}}))
        for (auto &c : o)
            for (double v : c) ASSERT_EQ(v, 0.0);
    r.x = kvt::sound(2, 400, 9);  // the model 0 everywhere: still parts that sum to the sound
    EXPECT_LT(kvt::rel_rms(sum(resynthSingle(r, singles(3))), r.x), 1e-6);

    const Case small = make_case(64, 16, 3000, 2, KVE_STACK, 4);
    EXPECT_EQ(resynthSingle(small, singles(4), 1), resynthSingle(small, singles(4), 2))
        << "bit for bit";

    Case big = make_case(32, 8, 200, 1, KVE_SUM, 3);
    big.H[4] = 1e39;  // finite, beyond float
    kvt::Source src{big.x};
    kvt::Sink sink(1, 1, big.s.length);
    const int set[] = {0};
    const kve_output out = {set, 1};
    EXPECT_EQ(kve_streamResynthSingle(&big.s, src.source(), big.W.data(), big.H.data(), 3, &out, 1,
                                      sink.sinkSingle(), 2),
              KVE_BAD_ARGUMENT);
    EXPECT_EQ(sink.calls + src.calls, 0);
}

// Samples whose spectra would leave float's range are refused by the float
// analysis and the single pass (the double ones take them); at the limit
// they pass, and give finite values.
TEST(StreamResynthSingle, SamplesTooLargeForFloatSpectraAreRefused) {
    for (kve_rows mode : {KVE_SUM, KVE_STACK}) {
        Case r = make_case(32, 8, 300, 2, mode, 2);
        const double most = FLT_MAX / (2.0 * r.s.N) / (mode == KVE_SUM ? 2.0 : 1.0);
        std::vector<float> V(size_t(r.s.rows) * size_t(r.s.frames));
        std::vector<double> Vd(V.size());
        const int set[] = {0};
        const kve_output out = {set, 1};
        for (double v : {most, std::nextafter(most, 2 * most)}) {
            const bool fits = v <= most;
            for (auto &c : r.x) std::fill(c.begin(), c.end(), 0.0);
            r.x[1][150] = -v;
            kvt::Source a{r.x}, b{r.x}, c{r.x}, d{r.x};
            EXPECT_EQ(kve_streamAnalyseFloat(&r.s, a.source(), V.data(), 2),
                      fits ? KVE_OK : KVE_NOT_FINITE);
            if (fits) {
                for (float m : V) ASSERT_TRUE(std::isfinite(m));
            }
            EXPECT_EQ(kve_streamAnalyse(&r.s, b.source(), Vd.data(), 2), KVE_OK);
            kvt::Sink sink(1, 2, r.s.length), sinkD(1, 2, r.s.length);
            if (mode == KVE_STACK) {
                EXPECT_EQ(kve_streamResynthSingle(&r.s, c.source(), r.W.data(), r.H.data(), 2, &out,
                                                  1, sink.sinkSingle(), 2),
                          fits ? KVE_OK : KVE_NOT_FINITE);
            }
            EXPECT_EQ(kve_streamResynth(&r.s, d.source(), r.W.data(), r.H.data(), 2, &out, 1,
                                        sinkD.sink(), 2),
                      KVE_OK);
        }
    }
}

namespace {

// two stacked channels whose every component sits at one place: W's right
// rows are its left rows times the component's gain
Case panned(const std::vector<double> &right, long L, unsigned seed) {
    const int K = int(right.size());
    Case r = make_case(64, 16, L, 2, KVE_STACK, K);
    const size_t bins = size_t(r.s.bins);
    r.W = kvt::factor(bins * size_t(K), seed);
    r.W.resize(2 * bins * size_t(K));
    for (size_t b = 0; b < bins; b++)
        for (int k = 0; k < K; k++) r.W[(bins + b) * K + k] = r.W[b * K + k] * right[size_t(k)];
    return r;
}

// the spatial filter's error against the masks' on two sources at two
// places, each with the same spectrum and activations (so only the place
// tells them apart): SDR in dB of each way of getting the first back
void twoPlaces(double &spatial, double &masks) {
    Case r = panned({0.2, 5.0}, 4000, 3);
    const size_t bins = size_t(r.s.bins);
    for (size_t b = 0; b < bins; b++) r.W[b * 2 + 1] = r.W[b * 2] / 5.0;  // the same spectrum
    for (size_t b = 0; b < bins; b++) r.W[(bins + b) * 2 + 1] = r.W[b * 2];
    for (size_t t = 0; t < size_t(r.s.frames); t++) r.H[size_t(r.s.frames) + t] = r.H[t];
    // each source a noise at its place, left and right gains as in W
    const kvt::Chans a = kvt::sound(1, r.s.length, 11), b = kvt::sound(1, r.s.length, 12);
    for (size_t n = 0; n < size_t(r.s.length); n++) {
        r.x[0][n] = a[0][n] + 0.2 * b[0][n];
        r.x[1][n] = 0.2 * a[0][n] + b[0][n];
    }
    const kvt::Chans want = {a[0], [&] {
                                 std::vector<double> v(a[0]);
                                 for (double &x : v) x *= 0.2;
                                 return v;
                             }()};
    auto sdr = [&](kve_filter f) {
        return -20 * std::log10(kvt::rel_rms(resynth(r, singles(2), 2, false, f)[0], want));
    };
    spatial = sdr(KVE_SPATIAL);
    masks = sdr(KVE_MASKS);
}

}  // namespace

TEST(StreamResynthSpatial, ComponentsSumToTheSoundOnAnyThreadsInEitherPrecision) {
    // several blocks, components at their own places and spectra, one
    // column of zeros (a component that models nothing)
    Case r = make_case(64, 16, 3001, 2, KVE_STACK, 5, 3);
    for (size_t i = 0; i < r.W.size(); i += 5) r.W[i] = 0.0;
    for (bool single : {false, true}) {
        const auto one = resynth(r, singles(r.K), 1, single, KVE_SPATIAL);
        EXPECT_EQ(one, resynth(r, singles(r.K), 2, single, KVE_SPATIAL)) << "bit for bit";
        {
            // the portable copy of the per-frame sums: the same bits
            const auto group = resynth(r, {{1, 3}}, 2, single, KVE_SPATIAL);
            struct Cap {
                ~Cap() { kve_vectorCap(KVE_VECTOR_AVX512); }
            } reset;
            kve_vectorCap(KVE_VECTOR_BASE);
            EXPECT_EQ(one, resynth(r, singles(r.K), 1, single, KVE_SPATIAL)) << "portable";
            EXPECT_EQ(group, resynth(r, {{1, 3}}, 2, single, KVE_SPATIAL)) << "portable, a group";
        }
        const kvt::Chans total = sum(one);
        // the filter's 2 x 2 products in double either way: single keeps
        // float's rounding of the spectra and the overlap-add
        EXPECT_LT(kvt::rel_rms(total, r.x), single ? 1e-6 : 1e-12) << "single " << single;
        for (size_t c = 0; c < 2; c++)
            for (size_t n : {size_t(0), r.x[c].size() - 1})
                EXPECT_NEAR(total[c][n], r.x[c][n], single ? 1e-6 : 1e-12) << "edge " << n;
        // a group is the sum of its components
        const auto g = resynth(r, {{1, 3}}, 2, single, KVE_SPATIAL);
        EXPECT_LT(kvt::rel_rms(g[0], sum({one[1], one[3]})), single ? 1e-6 : 1e-12);
    }
    // silence and a silent model: zeros, no NaN
    std::fill(r.H.begin(), r.H.end(), 0.0);
    EXPECT_LT(kvt::rel_rms(sum(resynth(r, singles(r.K), 2, false, KVE_SPATIAL)), r.x), 1e-12);
    for (auto &c : r.x) std::fill(c.begin(), c.end(), 0.0);
    for (auto &o : resynth(r, singles(r.K), 2, true, KVE_SPATIAL))
        for (auto &c : o)
            for (double v : c) ASSERT_EQ(v, 0.0);
}

TEST(StreamResynthSpatial, SourcesAtTwoPlacesComeApartWhereTheMasksMixThem) {
    double spatial = 0, masks = 0;
    twoPlaces(spatial, masks);
    // the masks give each channel the shares of its level: 0.2 of the other
    // source stays in; the filter nulls it, up to its load
    EXPECT_GT(spatial, 40.0);
    EXPECT_LT(masks, 20.0);
}

TEST(StreamResynthSpatial, SourcesAtOnePlaceGetTheMasksAndOtherShapesAreUnchanged) {
    // every component and the sound at one place (left 1, right 0.5): the
    // filter's shares are the ratio masks (to its terms' rounding to float)
    Case r = panned({0.5, 0.5, 0.5}, 2000, 5);
    for (size_t n = 0; n < r.x[0].size(); n++) r.x[1][n] = 0.5 * r.x[0][n];
    const auto spatial = resynth(r, {{0}, {1, 2}}, 2, false, KVE_SPATIAL);
    const auto masks = resynth(r, {{0}, {1, 2}}, 2, false, KVE_MASKS);
    for (size_t o = 0; o < 2; o++) EXPECT_LT(kvt::rel_rms(spatial[o], masks[o]), 1e-7);
    // mono, summed channels, three stacked channels: the masks, bit for bit
    for (const Case &c :
         {make_case(32, 8, 500, 1, KVE_STACK, 3), make_case(32, 8, 500, 2, KVE_SUM, 3),
          make_case(32, 8, 500, 3, KVE_STACK, 3)})
        for (bool single : {false, true})
            EXPECT_EQ(resynth(c, singles(3), 2, single, KVE_SPATIAL),
                      resynth(c, singles(3), 2, single, KVE_MASKS));
    // an unknown filter is refused
    const int set[] = {0};
    const kve_output out{set, 1};
    kvt::Source src{r.x};
    kvt::Sink sink(1, 2, r.s.length);
    EXPECT_EQ(kve_streamResynthFiltered(&r.s, src.source(), r.W.data(), r.H.data(), r.K, &out, 1,
                                        sink.sink(), 2, kve_filter(7)),
              KVE_BAD_ARGUMENT);
}

// Powered factors give each cell the shares (w_k h_k)^p / sum_j (w_j h_j)^p,
// from factors of any scale; the components still sum to the sound, and
// only one row a bin factorised into the sources alone by the default's
// cost takes sharper masks.
TEST(StreamResynth, PoweredFactorsShareTheModelsToThatPower) {
    Case r = make_case(64, 16, 2000, 1, KVE_SUM, 3);
    for (double &w : r.W) w *= 1e150;  // a product of the maxima beyond double's range
    const int rows = r.s.rows, T = int(r.s.frames), K = r.K;
    std::vector<double> Wp(r.W.size()), Hp(r.H.size());
    kve_maskFactors(r.W.data(), r.H.data(), rows, T, K, 1.5, Wp.data(), Hp.data());
    for (int f = 0; f < rows; f += 5)
        for (int t = 0; t < T; t += 7) {
            double want[8], got[8], sw = 0, sg = 0;
            for (int k = 0; k < K; k++) {
                want[k] = std::pow(r.W[size_t(f) * K + k] / 1e150 * r.H[size_t(k) * T + t], 1.5);
                got[k] = Wp[size_t(f) * K + k] * Hp[size_t(k) * T + t];
                sw += want[k], sg += got[k];
            }
            for (int k = 0; k < K && sw > 0; k++) EXPECT_NEAR(got[k] / sg, want[k] / sw, 1e-12);
        }
    Case p = r;
    p.W = Wp, p.H = Hp;
    EXPECT_LT(kvt::rel_rms(sum(resynth(p, singles(K))), r.x), 1e-9);
    EXPECT_LT(kvt::rel_rms(sum(resynth(p, singles(K), 2, true)), r.x), 1e-5);

    kve_streamShape stacked;
    ASSERT_EQ(kve_streamShapeOf(64, 0.25f, 1.0, 2000, 2, KVE_STACK, &stacked), KVE_OK);
    const kve_model def = kve_defaultModel(&r.s);
    EXPECT_EQ(kve_maskPower(&r.s, &def, 3, 3, nullptr), KVE_SHARP_SHARES);
    EXPECT_EQ(kve_maskPower(&r.s, &def, 3, 12, nullptr), 1.0);  // a grouped pool
    // held sounds (each activation one slow swell) take sharper shares; one
    // component rising like a hit among them keeps KVE_SHARP_SHARES
    const long frames = r.s.frames;
    std::vector<double> held(size_t(3 * frames));
    for (int k = 0; k < 3; k++)
        for (long t = 0; t < frames; t++)
            held[size_t(k * frames + t)] = 1.0 + std::sin(0.01 * double(t + 40 * k));
    EXPECT_EQ(kve_maskPower(&r.s, &def, 3, 3, held.data()), KVE_HELD_SHARES);
    for (long t = 0; t < frames; t++) held[size_t(frames + t)] = t % 8 == 0 ? 1.0 : 0.0;
    EXPECT_EQ(kve_maskPower(&r.s, &def, 3, 3, held.data()), KVE_SHARP_SHARES);
    EXPECT_EQ(kve_maskPower(&r.s, &def, 3, 12, held.data()), 1.0);
    kve_model m = def;
    m.beta = 0.5;
    EXPECT_EQ(kve_maskPower(&r.s, &m, 3, 3, nullptr), 1.0);
    m = def, m.span = 4;
    EXPECT_EQ(kve_maskPower(&r.s, &m, 3, 12, nullptr), 1.0);
    m = kve_plainModel(KVE_KULLBACK_LEIBLER);
    EXPECT_EQ(kve_maskPower(&r.s, &m, 3, 3, nullptr), 1.0);
    const kve_model two = kve_defaultModel(&stacked);
    EXPECT_EQ(kve_maskPower(&stacked, &two, 3, 3, nullptr), 1.0);
}
