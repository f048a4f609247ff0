// The convolutive rounds against triple-loop references: one round for
// several spans and β, the β-divergence falling, the same bits on one and
// two threads, a stop between rounds, span 1 as plain NMF, and the start and
// the expansion into rank-one components; in single precision, one round
// against the reference, the divergence after many rounds against double's,
// and the same bits on one and two threads.
#include "kv_stream.h"
#include "qm_matrixOps.h"
extern "C" {
#include "model_internal.h"
}

#include <gtest/gtest.h>
#ifdef _OPENMP
#include <omp.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr double kEps = 2.220446049250313e-16;

struct Conv {
    int rows, frames, K, span;
    std::vector<float> V;
    std::vector<double> W, H;  // span x rows x K, K x frames

    Conv(int rows_, int frames_, int K_, int span_, unsigned seed = 7)
        : rows(rows_), frames(frames_), K(K_), span(span_) {
        V.resize(size_t(rows) * frames);
        for (int r = 0; r < rows; ++r)
            for (int t = 0; t < frames; ++t)
                V[size_t(r) * frames + t] =
                    float(1.2 + std::sin(0.37 * r + 0.13 * t * (r % 4 + 1)) +
                          0.3 * ((r * 7 + t * 3) % 5));
        std::vector<double> W0(size_t(rows) * K);
        H.resize(size_t(K) * frames);
        kve_randomStart(seed, rows, frames, K, W0.data(), H.data());
        W.resize(size_t(span) * rows * K);
        for (int l = 0; l < span; ++l)
            for (size_t i = 0; i < W0.size(); ++i)
                W[l * W0.size() + i] = W0[i] * (1.0 + 0.1 * l + 0.01 * double(i % 7));
    }
    double &w(int l, int r, int k) { return W[(size_t(l) * rows + r) * K + k]; }
    double hAt(int k, int t) const { return t < 0 ? 0.0 : H[size_t(k) * frames + t]; }
    // Λ by its definition
    std::vector<double> lambda() {
        std::vector<double> L(size_t(rows) * frames, 0.0);
        for (int r = 0; r < rows; ++r)
            for (int t = 0; t < frames; ++t) {
                double s = 0;
                for (int l = 0; l < span; ++l)
                    for (int k = 0; k < K; ++k) s += w(l, r, k) * hAt(k, t - l);
                L[size_t(r) * frames + t] = s;
            }
        return L;
    }
    double v(int r, int t) const { return V[size_t(r) * frames + t]; }
};

// A = V Λε^(β-2), B = Λε^(β-1) by pow, whatever β
void quotients(Conv &c, double beta, std::vector<double> &A, std::vector<double> &B) {
    std::vector<double> L = c.lambda();
    A.resize(L.size());
    B.resize(L.size());
    for (size_t i = 0; i < L.size(); ++i) {
        const double le = L[i] + kEps;
        A[i] = double(c.V[i]) * std::pow(le, beta - 2.0);
        B[i] = std::pow(le, beta - 1.0);
    }
}

// one round: H with the sums over l of the shifted products, then every W_l
void referenceRound(Conv &c, double beta) {
    std::vector<double> A, B;
    quotients(c, beta, A, B);
    const int T = c.frames;
    std::vector<double> H = c.H;
    for (int k = 0; k < c.K; ++k)
        for (int t = 0; t < T; ++t) {
            double n = 0, d = 0;
            for (int l = 0; l < c.span; ++l)
                for (int r = 0; r < c.rows; ++r)
                    if (t + l < T) {
                        n += c.w(l, r, k) * A[size_t(r) * T + t + l];
                        d += c.w(l, r, k) * B[size_t(r) * T + t + l];
                    }
            H[size_t(k) * T + t] *= n / (d + kEps);
        }
    c.H = H;
    quotients(c, beta, A, B);
    std::vector<double> W = c.W;
    for (int l = 0; l < c.span; ++l)
        for (int r = 0; r < c.rows; ++r)
            for (int k = 0; k < c.K; ++k) {
                double n = 0, d = 0;
                for (int t = 0; t < T; ++t) {
                    n += A[size_t(r) * T + t] * c.hAt(k, t - l);
                    d += B[size_t(r) * T + t] * c.hAt(k, t - l);
                }
                W[(size_t(l) * c.rows + r) * c.K + k] *= n / (d + kEps);
            }
    c.W = W;
}

// the β-divergence of V from Λ, cell by cell
double divergence(Conv &c, double beta) {
    std::vector<double> L = c.lambda();
    double s = 0;
    for (size_t i = 0; i < L.size(); ++i) {
        const double x = c.V[i], y = L[i];
        if (beta == 1.0)
            s += x * std::log(x / y) - x + y;
        else if (beta == 0.0)
            s += x / y - std::log(x / y) - 1.0;
        else
            s += (std::pow(x, beta) + (beta - 1.0) * std::pow(y, beta) -
                  beta * x * std::pow(y, beta - 1.0)) /
                 (beta * (beta - 1.0));
    }
    return s;
}

kve_model model(double beta, int span) {
    kve_model m{};
    m.beta = beta;
    m.span = span;
    return m;
}

int rounds(Conv &c, double beta, int n, int (*fn)(int, int, void *) = nullptr,
           void *user = nullptr) {
    const kve_model m = model(beta, c.span);
    return kve_convolutiveRounds(&m, c.V.data(), c.rows, c.frames, c.K, c.W.data(), c.H.data(), n,
                                 fn, user);
}

int roundsIn(int precision, Conv &c, double beta, int n) {
    const kve_model m = model(beta, c.span);
    return kve_modelRoundsIn(precision, &m, c.V.data(), c.rows, c.frames, c.K, 0, c.W.data(),
                             c.H.data(), n, nullptr, nullptr);
}

// W and H rounded to float, as single precision holds them
void toFloat(Conv &c) {
    for (double &w : c.W) w = float(w);
    for (double &h : c.H) h = float(h);
}

bool allFloats(const std::vector<double> &x) {
    return std::all_of(x.begin(), x.end(), [](double v) { return v == double(float(v)); });
}

// the largest of |got - want| / |want| over the elements
double relError(const std::vector<double> &got, const std::vector<double> &want) {
    double e = 0;
    for (size_t i = 0; i < got.size(); ++i)
        e = std::max(e, std::fabs(got[i] - want[i]) / std::max(std::fabs(want[i]), 1e-300));
    return e;
}

void setThreads(int n) {
#ifdef _OPENMP
    omp_set_num_threads(n);
#else
    (void)n;
#endif
}

}  // namespace

TEST(ConvolutiveRounds, OneRoundMatchesTheDefinition) {
    // sizes off every vector and block width: rows not a multiple of 4,
    // frames not of 8, K not of 4; a span longer than the frames; rows for
    // several slabs; for β = 2, with and without the Gram matrices
    struct Shape {
        int rows, frames, K;
    };
    for (Shape s : {Shape{37, 53, 5}, Shape{9, 6, 1}, Shape{70, 131, 4}, Shape{200, 19, 2}})
        for (int span : {1, 3, 8, int(KVE_MOST_SPAN)})
            for (double beta : {0.0, 1.0, 2.0, 0.5, 1.5, 0.3, 2.5}) {
                SCOPED_TRACE(testing::Message() << s.rows << "x" << s.frames << " K " << s.K
                                                << " span " << span << " beta " << beta);
                Conv got(s.rows, s.frames, s.K, span), want = got;
                ASSERT_EQ(rounds(got, beta, 1), 0);
                referenceRound(want, beta);
                // positive terms summed in another order, and pow against
                // its special cases: a few rounding steps
                EXPECT_LE(relError(got.H, want.H), 1e-12);
                EXPECT_LE(relError(got.W, want.W), 1e-12);
            }
}

TEST(ConvolutiveRounds, DivergenceFallsEveryRound) {
    // the sums over l (not their mean) make each update the plain one of a
    // model linear in that factor: for β in [1, 2] a majorisation step, so
    // the divergence cannot rise; below 1 it falls here too
    for (double beta : {0.0, 0.5, 1.0, 1.5, 2.0, 0.3})
        for (int span : {2, 5}) {
            SCOPED_TRACE(testing::Message() << "span " << span << " beta " << beta);
            Conv c(40, 61, 3, span, 11);
            double last = divergence(c, beta);
            const double first = last;
            for (int i = 0; i < 30; ++i) {
                ASSERT_EQ(rounds(c, beta, 1), 0);
                const double now = divergence(c, beta);
                EXPECT_LE(now, last * (1 + 1e-12)) << "round " << i + 1;
                last = now;
            }
            EXPECT_LT(last, 0.9 * first);
        }
}

TEST(ConvolutiveRounds, SameBitsOnOneAndTwoThreads) {
    // rows enough for several slabs, work enough for a second thread
    for (double beta : {1.0, 2.0, 0.5}) {
        Conv one(301, 257, 5, 4), two = one;
        setThreads(1);
        ASSERT_EQ(rounds(one, beta, 3), 0);
        setThreads(2);
        ASSERT_EQ(rounds(two, beta, 3), 0);
        EXPECT_EQ(std::memcmp(one.W.data(), two.W.data(), one.W.size() * sizeof(double)), 0);
        EXPECT_EQ(std::memcmp(one.H.data(), two.H.data(), one.H.size() * sizeof(double)), 0);
    }
#ifdef _OPENMP
    omp_set_num_threads(omp_get_num_procs());
#endif
}

namespace {
int stopAfter3(int done, int total, void *user) {
    static_cast<std::vector<int> *>(user)->push_back(done);
    EXPECT_EQ(total, 10);
    return done == 3;
}
}  // namespace

TEST(ConvolutiveRounds, StopLeavesTheFactorsOfTheRoundsDone) {
    Conv stopped(200, 120, 5, 4), three = stopped;  // threaded
    std::vector<int> seen;
    EXPECT_EQ(rounds(stopped, 1.0, 10, stopAfter3, &seen), 1);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
    ASSERT_EQ(rounds(three, 1.0, 3), 0);
    EXPECT_EQ(stopped.W, three.W);
    EXPECT_EQ(stopped.H, three.H);
    // no rounds asked: nothing changes
    Conv same = three;
    EXPECT_EQ(rounds(same, 1.0, 0), 0);
    EXPECT_EQ(same.W, three.W);
    // no rows: the rounds are still reported, and still stop
    seen.clear();
    const kve_model m = model(1.0, 3);
    EXPECT_EQ(kve_convolutiveRounds(&m, same.V.data(), 0, same.frames, same.K, same.W.data(),
                                    same.H.data(), 10, stopAfter3, &seen),
              1);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

TEST(ConvolutiveRounds, SpanOneIsPlainNMF) {
    // against the plain β update written without shifts, over several rounds
    for (double beta : {0.0, 0.5, 1.0, 2.0}) {
        SCOPED_TRACE(testing::Message() << "beta " << beta);
        Conv got(29, 47, 4, 1), want = got;
        ASSERT_EQ(rounds(got, beta, 5), 0);
        const int R = want.rows, T = want.frames, K = want.K;
        for (int i = 0; i < 5; ++i) {
            for (int pass = 0; pass < 2; ++pass) {
                std::vector<double> A(size_t(R) * T), B(A.size());
                for (int r = 0; r < R; ++r)
                    for (int t = 0; t < T; ++t) {
                        double s = 0;
                        for (int k = 0; k < K; ++k)
                            s += want.W[size_t(r) * K + k] * want.H[size_t(k) * T + t];
                        s += kEps;
                        A[size_t(r) * T + t] = want.v(r, t) * std::pow(s, beta - 2);
                        B[size_t(r) * T + t] = std::pow(s, beta - 1);
                    }
                if (pass == 0) {
                    std::vector<double> H = want.H;
                    for (int k = 0; k < K; ++k)
                        for (int t = 0; t < T; ++t) {
                            double n = 0, d = 0;
                            for (int r = 0; r < R; ++r) {
                                n += want.W[size_t(r) * K + k] * A[size_t(r) * T + t];
                                d += want.W[size_t(r) * K + k] * B[size_t(r) * T + t];
                            }
                            H[size_t(k) * T + t] *= n / (d + kEps);
                        }
                    want.H = H;
                } else {
                    std::vector<double> W = want.W;
                    for (int r = 0; r < R; ++r)
                        for (int k = 0; k < K; ++k) {
                            double n = 0, d = 0;
                            for (int t = 0; t < T; ++t) {
                                n += A[size_t(r) * T + t] * want.H[size_t(k) * T + t];
                                d += B[size_t(r) * T + t] * want.H[size_t(k) * T + t];
                            }
                            W[size_t(r) * K + k] *= n / (d + kEps);
                        }
                    want.W = W;
                }
            }
        }
        // a few rounding steps per round, compounded over five rounds
        EXPECT_LE(relError(got.H, want.H), 1e-11);
        EXPECT_LE(relError(got.W, want.W), 1e-11);
    }
    // Kullback-Leibler also as the object library's own rounds do it
    Conv got(29, 47, 4, 1), lib = got;
    ASSERT_EQ(rounds(got, 1.0, 5), 0);
    ASSERT_EQ(qm_NMFFromFloat(0, lib.V.data(), lib.rows, lib.frames, lib.K, 5, lib.W.data(),
                              lib.H.data(), nullptr, nullptr),
              0);
    EXPECT_LE(relError(got.H, lib.H), 1e-11);
    EXPECT_LE(relError(got.W, lib.W), 1e-11);
}

TEST(ConvolutiveStart, KeepsThePlainProductsShape) {
    const int rows = 13, frames = 30, K = 3, span = 4;
    std::vector<double> W0(size_t(rows) * K), H0(size_t(K) * frames);
    kve_randomStart(3, rows, frames, K, W0.data(), H0.data());
    std::vector<double> W(size_t(span) * rows * K), H(H0.size());
    kve_convolutiveStart(W0.data(), H0.data(), rows, frames, K, span, W.data(), H.data());
    EXPECT_EQ(H, H0);
    for (size_t i = 0; i < W0.size(); ++i) {
        double s = 0;
        for (int l = 0; l < span; ++l) {
            const double x = W[l * W0.size() + i];
            EXPECT_GT(x, 0.0);
            if (l > 0) {
                EXPECT_LT(x, W[(l - 1) * W0.size() + i]);  // falling
            }
            s += x;
        }
        EXPECT_NEAR(s, W0[i], 1e-14 * W0[i]);  // the profile sums to 1
    }
}

// Convolutive bases of a model beyond plain NMF start from that model's
// factorisation on bases of one frame and take KVE_WARM_SPAN_ROUNDS rounds
// after it; plain ones start cold and take 200.
TEST(ConvolutiveStart, TheOneFrameModelFirstUnlessPlain) {
    for (int channels : {1, 2}) {
        kve_streamShape s;
        ASSERT_EQ(kve_streamShapeOf(64, 0.25f, 1.0, 2000, channels, KVE_STACK, &s), KVE_OK);
        const kve_model def = kve_defaultModel(&s);
        kve_model one, m = def;
        EXPECT_EQ(kve_spanWarmModel(&m, &one), 0);  // span 1
        EXPECT_EQ(kve_defaultRounds(&m), 115);
        for (double beta : {1.0, 0.5}) {
            m = def, m.span = 4, m.beta = beta;
            ASSERT_EQ(kve_spanWarmModel(&m, &one), 1) << channels;
            kve_model back = one;
            back.span = 4;
            EXPECT_EQ(std::memcmp(&back, &m, sizeof m), 0);  // only the span differs
            EXPECT_EQ(one.span, 1);
            EXPECT_EQ(kve_modelRelax(&one), 1.75);
            EXPECT_EQ(kve_defaultRounds(&m), KVE_WARM_SPAN_ROUNDS);
        }
        m = kve_plainModel(KVE_KULLBACK_LEIBLER), m.span = 4;
        EXPECT_EQ(kve_spanWarmModel(&m, &one), 0);
        EXPECT_EQ(kve_defaultRounds(&m), 200);
    }
}

// One row a bin fitted into K components that all rise like hits (a kit)
// goes on to convolutive bases of KVE_HIT_SPAN frames; one held component,
// stacked channels, another cost, bases of more frames or a single source
// keep the fit.
TEST(ConvolutiveStart, HitsGoOnToConvolutiveBases) {
    kve_streamShape mono, stacked;
    ASSERT_EQ(kve_streamShapeOf(64, 0.25f, 1.0, 2000, 1, KVE_STACK, &mono), KVE_OK);
    ASSERT_EQ(kve_streamShapeOf(64, 0.25f, 1.0, 2000, 2, KVE_STACK, &stacked), KVE_OK);
    const int K = 3;
    const long T = mono.frames;
    ASSERT_GT(T, 40);
    std::vector<double> W(size_t(mono.rows) * K, 0.5), H(size_t(K) * size_t(T));
    // each piece hit every 8 frames, halving each frame after: rise about 0.5
    auto hits = [&] {
        for (int k = 0; k < K; ++k)
            for (long t = 0; t < T; ++t)
                H[size_t(k) * size_t(T) + size_t(t)] = std::pow(0.5, double((t + 3 * k) % 8));
    };
    hits();
    const kve_model def = kve_defaultModel(&mono);
    EXPECT_EQ(kve_hitSpanMost(&mono, &def, K), KVE_HIT_SPAN);
    EXPECT_EQ(kve_hitSpan(&mono, &def, K, W.data(), H.data()), KVE_HIT_SPAN);
    kve_model other = def;
    other.beta = 0.5;
    EXPECT_EQ(kve_hitSpan(&mono, &other, K, W.data(), H.data()), 1);
    other = def, other.span = 2;
    EXPECT_EQ(kve_hitSpan(&mono, &other, K, W.data(), H.data()), 1);
    EXPECT_EQ(kve_hitSpan(&mono, &def, 1, W.data(), H.data()), 1);
    const kve_model st = kve_defaultModel(&stacked);
    EXPECT_EQ(kve_hitSpanMost(&stacked, &st, K), 1);
    // a held sound among the hits: a slow swell rises well under KVE_HIT_RISE
    for (long t = 0; t < T; ++t) H[size_t(T) + size_t(t)] = 1.0 + 0.5 * std::sin(0.05 * t);
    EXPECT_LT(kve_activationRise(H.data() + T, T), KVE_HIT_RISE);
    EXPECT_EQ(kve_hitSpan(&mono, &def, K, W.data(), H.data()), 1);
    // a silent component is no hit
    hits();
    std::fill(H.begin() + T, H.begin() + 2 * T, 0.0);
    EXPECT_EQ(kve_hitSpan(&mono, &def, K, W.data(), H.data()), 1);
    hits();
    for (long r = 0; r < mono.rows; ++r) W[size_t(r) * K + 2] = 0.0;
    EXPECT_EQ(kve_hitSpan(&mono, &def, K, W.data(), H.data()), 1);
}

TEST(ConvolutiveExpansion, RankOneComponentsAddUpToLambda) {
    for (int span : {1, 3, 9}) {
        Conv c(11, 7, 3, span);
        const int inner = c.K * span;
        std::vector<double> We(size_t(c.rows) * inner), He(size_t(inner) * c.frames);
        kve_expandConvolutive(c.W.data(), c.H.data(), c.rows, c.frames, c.K, span, We.data(),
                              He.data());
        const std::vector<double> want = c.lambda();
        std::vector<double> got(want.size(), 0.0);
        for (int r = 0; r < c.rows; ++r)
            for (int t = 0; t < c.frames; ++t)
                for (int j = 0; j < inner; ++j)
                    got[size_t(r) * c.frames + t] +=
                        We[size_t(r) * inner + j] * He[size_t(j) * c.frames + t];
        EXPECT_LE(relError(got, want), 1e-12);
        // inner component k span + l is W_l[.][k] with H[k] delayed by l
        const int k = c.K - 1, l = span - 1;
        EXPECT_EQ(We[size_t(2) * inner + k * span + l], c.w(l, 2, k));
        for (int t = 0; t < c.frames; ++t)
            EXPECT_EQ(He[size_t(k * span + l) * c.frames + t], c.hAt(k, t - l));
    }
}

TEST(ConvolutiveRounds, ScratchBeyondReachIsReportedUntouched) {
    // H alone would take 2^60 doubles: refused before anything is read,
    // and in single precision before W and H are rounded to float
    const kve_model m = model(1.0, 2);
    std::vector<float> V(4, 1.0f);
    for (int precision : {KVE_DOUBLE, KVE_SINGLE}) {
        std::vector<double> W(4, 0.1), H(4, 0.3);
        EXPECT_EQ(kve_convolutiveRoundsIn(precision, &m, V.data(), 1, 1 << 30, 1 << 30, W.data(),
                                          H.data(), 3, nullptr, nullptr),
                  -1);
        EXPECT_EQ(W, std::vector<double>(4, 0.1));
        EXPECT_EQ(H, std::vector<double>(4, 0.3));
    }
}

TEST(ConvolutiveSingle, OneRoundMatchesTheDefinition) {
    // as the double test, and a long and a tall sound
    struct Shape {
        int rows, frames, K;
    };
    for (Shape s : {Shape{37, 53, 5}, Shape{9, 6, 1}, Shape{70, 131, 4}, Shape{200, 19, 2},
                    Shape{3, 120000, 2}, Shape{24000, 5, 2}})
        for (int span : {2, 8, int(KVE_MOST_SPAN)})
            for (double beta : {0.0, 1.0, 2.0, 0.5, 1.5, 0.3}) {
                if ((s.frames > 1000 || s.rows > 1000) && span > 2) continue;
                SCOPED_TRACE(testing::Message() << s.rows << "x" << s.frames << " K " << s.K
                                                << " span " << span << " beta " << beta);
                Conv got(s.rows, s.frames, s.K, span);
                toFloat(got);
                Conv want = got;
                ASSERT_EQ(roundsIn(KVE_SINGLE, got, beta, 1), 0);
                referenceRound(want, beta);
                // Λ and the quotients in float; on the long and the tall
                // sound the W sums over the frames and the H sums over the
                // rows keep their digits (about 1e-6 off if made in float)
                EXPECT_LE(relError(got.H, want.H), s.rows > 1000 ? 2e-7 : 2e-5);
                EXPECT_LE(relError(got.W, want.W), s.frames > 1000 ? 2e-7 : 2e-5);
                EXPECT_TRUE(allFloats(got.H));
                EXPECT_TRUE(allFloats(got.W));
            }
}

// The copies for AVX2 and the portable one, which this machine would not
// choose, in both precisions
TEST(ConvolutiveRounds, EveryInstructionSetsCopyMatchesTheDefinition) {
    struct Cap {
        ~Cap() { kve_vectorCap(KVE_VECTOR_AVX512); }
    } reset;
    for (int level : {KVE_VECTOR_AVX2, KVE_VECTOR_BASE})
        for (int precision : {KVE_DOUBLE, KVE_SINGLE})
            for (int span : {3, 8})
                for (double beta : {0.0, 1.0, 2.0, 0.5, 0.3}) {
                    SCOPED_TRACE(testing::Message()
                                 << "copy " << level << " precision " << precision << " span "
                                 << span << " beta " << beta);
                    kve_vectorCap(level);
                    Conv got(70, 131, 4, span);
                    if (precision == KVE_SINGLE) toFloat(got);
                    Conv want = got;
                    ASSERT_EQ(roundsIn(precision, got, beta, 1), 0);
                    referenceRound(want, beta);
                    const double tol = precision == KVE_SINGLE ? 2e-5 : 1e-12;
                    EXPECT_LE(relError(got.H, want.H), tol);
                    EXPECT_LE(relError(got.W, want.W), tol);
                }
}

TEST(ConvolutiveSingle, DivergenceAfterManyRoundsIsDoubles) {
    for (double beta : {1.0, 2.0, 0.5, 0.0})
        for (int span : {2, 4}) {
            SCOPED_TRACE(testing::Message() << "span " << span << " beta " << beta);
            Conv single(48, 150, 3, span, 5);
            toFloat(single);
            Conv twice = single;
            ASSERT_EQ(roundsIn(KVE_SINGLE, single, beta, 150), 0);
            ASSERT_EQ(roundsIn(KVE_DOUBLE, twice, beta, 150), 0);
            const double s = divergence(single, beta), d = divergence(twice, beta);
            EXPECT_NEAR(s / d, 1.0, 1e-4) << s << " " << d;
        }
}

TEST(ConvolutiveSingle, SameBitsOnOneAndTwoThreads) {
    // slabs of more rows than a float stretch of the H sums, frames for
    // several folds of the W sums; β = 2 through the Gram matrices
    for (double beta : {1.0, 2.0, 0.5}) {
        SCOPED_TRACE(testing::Message() << "beta " << beta);
        Conv one(301, 1100, 3, 3), two = one;
        setThreads(1);
        ASSERT_EQ(roundsIn(KVE_SINGLE, one, beta, 3), 0);
        setThreads(2);
        ASSERT_EQ(roundsIn(KVE_SINGLE, two, beta, 3), 0);
        EXPECT_EQ(std::memcmp(one.W.data(), two.W.data(), one.W.size() * sizeof(double)), 0);
        EXPECT_EQ(std::memcmp(one.H.data(), two.H.data(), one.H.size() * sizeof(double)), 0);
    }
#ifdef _OPENMP
    omp_set_num_threads(omp_get_num_procs());
#endif
}
