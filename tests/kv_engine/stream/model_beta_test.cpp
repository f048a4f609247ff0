// The β-divergence model's rounds (bases of one frame): one round against
// the update written out cell by cell, the divergence and the penalised
// objective falling, the same bits on any number of threads, and the
// streamed factorisation reaching them; the same in single precision, and
// by panels of frames.
#include "kv_stream.h"
#include "qm_matrixOps.h"
extern "C" {
#include "model_internal.h"  // the penalties, shared by the model loops
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

extern "C" void omp_set_num_threads(int);
extern "C" int omp_get_max_threads(void);

namespace {

struct Problem {
    int F, T, K;
    std::vector<float> V;
    std::vector<double> W, H;
    Problem(int f, int t, int k, unsigned seed) : F(f), T(t), K(k) {
        std::mt19937 g(seed);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        V.resize(size_t(F) * T);
        for (float &v : V) v = u(g) < 0.1 ? 0.0f : float(2.0 * u(g));
        W.resize(size_t(F) * K);
        H.resize(size_t(K) * T);
        for (double &w : W) w = 0.1 + u(g);
        for (double &h : H) h = 0.1 + u(g);
    }
};

// penalties: none (false), on both factors (true), or on H alone or W alone
enum Penalties { kNone = 0, kBoth = 1, kHAlone, kWAlone };

kve_model model(double beta, int penalties) {
    kve_model m = kve_plainModel(KVE_KULLBACK_LEIBLER);
    m.beta = beta;
    if (penalties == kBoth || penalties == kWAlone) m.l1W = 0.3, m.l2W = 0.2;
    if (penalties == kBoth || penalties == kHAlone) m.l1H = 0.1, m.l2H = 0.4, m.continuity = 0.5;
    return m;
}

// Weights on one factor alone penalise each component's model w_k h_k^T:
// l1 s g + l2 / 2 p q, s and p the sum of its bases and of their squares, g
// and q those of its activation; the slopes of h are l1 s + l2 p h, those of
// w l1 g + l2 q w (none: every slope 0)
struct Slopes {
    std::vector<double> ls, lp, lg, lq;
};
Slopes slopesOf(const kve_model &m, const std::vector<double> &W, const std::vector<double> &H,
                int T, int K) {
    const bool onW = m.l1W != 0 || m.l2W != 0, onH = m.l1H != 0 || m.l2H != 0;
    const double l1 = onH ? m.l1H : m.l1W, l2 = onH ? m.l2H : m.l2W;
    Slopes a{std::vector<double>(size_t(K)), std::vector<double>(size_t(K)),
             std::vector<double>(size_t(K)), std::vector<double>(size_t(K))};
    const size_t rows = W.size() / size_t(K);
    for (int k = 0; k < K && onW != onH; k++) {
        double s = 0, p = 0, g = 0, q = 0;
        for (size_t f = 0; f < rows; f++) s += W[f * K + k], p += W[f * K + k] * W[f * K + k];
        for (int t = 0; t < T; t++)
            g += H[size_t(k) * T + t], q += H[size_t(k) * T + t] * H[size_t(k) * T + t];
        a.ls[size_t(k)] = l1 * s, a.lp[size_t(k)] = l2 * p, a.lg[size_t(k)] = l1 * g,
        a.lq[size_t(k)] = l2 * q;
    }
    return a;
}
bool aloneOnOne(const kve_model &m) {
    return (m.l1W != 0 || m.l2W != 0) != (m.l1H != 0 || m.l2H != 0);
}

double gammaOf(double beta) {
    return beta < 1 ? 1 / (2 - beta) : beta > 2 ? 1 / (beta - 1) : 1.0;
}

// One round, every sum written out: H from (W' (V Λ^(β-2)) + pen-) /
// (W' Λ^(β-1) + pen+ + eps) to the power γ, then W the same with the new H.
void referenceRound(const kve_model &m, const Problem &p, std::vector<double> &W,
                    std::vector<double> &H) {
    const int F = p.F, T = p.T, K = p.K;
    const double eps = DBL_EPSILON, b = m.beta, g = gammaOf(b) * kve_modelRelax(&m);
    auto x = [&](int f, int t) {
        const double v = p.V[size_t(f) * T + t];
        return b <= 0 && v < eps ? eps : v;
    };
    auto lam = [&](int f, int t) {
        double s = 0;
        for (int k = 0; k < K; k++) s += W[size_t(f) * K + k] * H[size_t(k) * T + t];
        return s + eps;
    };
    std::vector<double> L(size_t(F) * T);
    for (int f = 0; f < F; f++)
        for (int t = 0; t < T; t++) L[size_t(f) * T + t] = lam(f, t);
    std::vector<double> Hn = H;
    const Slopes aH = slopesOf(m, W, H, T, K);
    const bool alone = aloneOnOne(m);
    for (int k = 0; k < K; k++) {
        double sq = 0, dif = 0;
        for (int t = 0; t < T; t++) {
            const double h = H[size_t(k) * T + t];
            sq += h * h;
            if (t > 0) dif += (h - H[size_t(k) * T + t - 1]) * (h - H[size_t(k) * T + t - 1]);
        }
        for (int t = 0; t < T; t++) {
            double num = 0, den = 0;
            for (int f = 0; f < F; f++) {
                const double l = L[size_t(f) * T + t], w = W[size_t(f) * K + k];
                num += w * x(f, t) * std::pow(l, b - 2);
                den += w * std::pow(l, b - 1);
            }
            const double h = H[size_t(k) * T + t];
            den += alone ? aH.ls[size_t(k)] + aH.lp[size_t(k)] * h : m.l1H + m.l2H * h;
            if (m.continuity > 0 && sq > 0) {
                const double c = m.continuity * T;
                const double left = t > 0 ? H[size_t(k) * T + t - 1] : 0;
                const double right = t + 1 < T ? H[size_t(k) * T + t + 1] : 0;
                den += 2 * c * ((t > 0) + (t + 1 < T)) * h / sq;
                num += 2 * c * (left + right) / sq + 2 * c * h * dif / (sq * sq);
            }
            Hn[size_t(k) * T + t] = h * std::pow(num / (den + eps), g);
        }
    }
    H = Hn;
    for (int f = 0; f < F; f++)
        for (int t = 0; t < T; t++) L[size_t(f) * T + t] = lam(f, t);
    std::vector<double> Wn = W;
    const Slopes aW = slopesOf(m, W, H, T, K);
    for (int f = 0; f < F; f++)
        for (int k = 0; k < K; k++) {
            double num = 0, den = 0;
            for (int t = 0; t < T; t++) {
                const double l = L[size_t(f) * T + t], h = H[size_t(k) * T + t];
                num += x(f, t) * std::pow(l, b - 2) * h;
                den += std::pow(l, b - 1) * h;
            }
            const double w = W[size_t(f) * K + k];
            den += alone ? aW.lg[size_t(k)] + aW.lq[size_t(k)] * w : m.l1W + m.l2W * w;
            Wn[size_t(f) * K + k] = w * std::pow(num / (den + eps), g);
        }
    W = Wn;
}

void expectClose(const std::vector<double> &a, const std::vector<double> &b, const char *what,
                 double tol = 1e-12) {
    ASSERT_EQ(a.size(), b.size());
    double worst = 0;
    for (size_t i = 0; i < a.size(); i++)
        worst = std::max(worst, std::fabs(a[i] - b[i]) / std::max(std::fabs(b[i]), 1e-300));
    EXPECT_LE(worst, tol) << what;
}

int roundsIn(int precision, const kve_model &m, Problem &p, int n, int keep = 0) {
    return kve_modelRoundsIn(precision, &m, p.V.data(), p.F, p.T, p.K, keep, p.W.data(), p.H.data(),
                             n, nullptr, nullptr);
}

double penalised(const kve_model &m, const Problem &p) {
    return kve_betaDivergence(m.beta, p.V.data(), p.W.data(), p.H.data(), p.F, p.T, p.K, 1) +
           kve_penaltyCost(&m, p.W.data(), p.H.data(), p.F, p.T, p.K);
}

const double kBetas[] = {0, 0.5, 1, 1.5, 2, 3, -0.5};

// Small shapes with a part vector of frames, fewer frames than a vector, an
// odd row and more components than the kernels keep in registers, and one
// large enough to be cut into parts and run on threads; in double, and in
// single to float accuracy (the reference starting from the same rounded
// factors).
void oneRoundIsTheWrittenOutUpdate(std::vector<std::vector<int>> shapes) {
    for (int precision : {KVE_DOUBLE, KVE_SINGLE})
        for (const std::vector<int> &s : shapes)
            for (double beta : kBetas)
                for (int pen : {kNone, kBoth, kHAlone, kWAlone}) {
                    SCOPED_TRACE(testing::Message() << "precision " << precision << " F " << s[0]
                                                    << " beta " << beta << " pen " << pen);
                    const kve_model m = model(beta, pen);
                    Problem p(s[0], s[1], s[2], 5);
                    const bool single = precision == KVE_SINGLE;
                    if (single) {
                        for (double &w : p.W) w = float(w);
                        for (double &h : p.H) h = float(h);
                    }
                    std::vector<double> W = p.W, H = p.H;
                    if (single) {
                        ASSERT_EQ(roundsIn(KVE_SINGLE, m, p, 1), 0);
                    } else {  // the double entry point itself
                        ASSERT_EQ(kve_modelRounds(&m, p.V.data(), p.F, p.T, p.K, p.W.data(),
                                                  p.H.data(), 1, nullptr, nullptr),
                                  0);
                    }
                    referenceRound(m, p, W, H);
                    expectClose(p.H, H, "H", single ? 2e-5 : 1e-12);
                    expectClose(p.W, W, "W", single ? 2e-5 : 1e-12);
                    for (double w : p.W) ASSERT_TRUE(!single || w == double(float(w)));
                }
}

TEST(ModelBeta, OneRoundIsTheWrittenOutUpdate) {
    oneRoundIsTheWrittenOutUpdate({{13, 37, 3}, {9, 5, 2}, {6, 29, 17}, {101, 420, 10}});
}

// The copies for AVX2 and the portable one, which this machine would not
// choose: the same rounds
TEST(ModelBeta, EveryInstructionSetsCopyMakesTheWrittenOutUpdate) {
    struct Cap {
        ~Cap() { kve_vectorCap(KVE_VECTOR_AVX512); }
    } reset;
    for (int level : {KVE_VECTOR_AVX2, KVE_VECTOR_BASE}) {
        SCOPED_TRACE(testing::Message() << "copy " << level);
        kve_vectorCap(level);
        oneRoundIsTheWrittenOutUpdate({{13, 37, 3}, {6, 29, 17}, {31, 70, 10}});
    }
}

// Over-relaxed rounds: the exponent times relax (the square-root forms of
// 1.5 and 1.75 and pow between); from the same start, 200 plain rounds'
// worth of them (kve_defaultRounds) get at least as low as 200 plain rounds.
TEST(ModelBeta, RelaxedRoundsAreTheWrittenOutUpdateAndGoAsFar) {
    for (int precision : {KVE_DOUBLE, KVE_SINGLE})
        for (double beta : {0.0, 0.5, 1.0, 2.0})
            for (double relax : {1.3, 1.5, 1.75}) {
                SCOPED_TRACE(testing::Message() << "precision " << precision << " beta " << beta
                                                << " relax " << relax);
                kve_model m = model(beta, false);
                m.relax = relax;
                Problem p(23, 150, 4, 11);
                for (double &w : p.W) w = float(w);
                for (double &h : p.H) h = float(h);
                std::vector<double> W = p.W, H = p.H;
                ASSERT_EQ(roundsIn(precision, m, p, 1), 0);
                referenceRound(m, p, W, H);
                const double tol = precision == KVE_SINGLE ? 2e-5 : 1e-12;
                expectClose(p.H, H, "H", tol);
                expectClose(p.W, W, "W", tol);
            }
    const kve_model kl = kve_plainModel(KVE_KULLBACK_LEIBLER);
    EXPECT_EQ(kve_defaultRounds(&kl), 200);
    for (double beta : {0.5, 1.0}) {
        kve_model m = model(beta, false), plain = m;
        m.relax = 1.75;
        EXPECT_EQ(kve_defaultRounds(&m), 115);
        Problem a(60, 300, 5, 12), b = a;
        ASSERT_EQ(roundsIn(KVE_SINGLE, m, a, kve_defaultRounds(&m)), 0);
        ASSERT_EQ(roundsIn(KVE_SINGLE, plain, b, 200), 0);
        EXPECT_LE(penalised(m, a), penalised(plain, b)) << beta;
        m.span = 2;  // convolutive rounds are not relaxed; they follow the one-frame model's
        EXPECT_EQ(kve_modelRelax(&m), 1.0);
        EXPECT_EQ(kve_defaultRounds(&m), KVE_WARM_SPAN_ROUNDS);
    }
}

// The most relaxation, which overshoots near the end: the streamed rounds
// see the cost estimate rise, go on with the plain exponent and still fall;
// relax 1 is the plain model, and out of range is refused.
TEST(ModelBeta, RelaxedStreamFallsBackToADescent) {
    kve_model m = model(1.0, false);
    m.relax = KVE_MOST_RELAX;
    Problem p(40, 200, 6, 13);
    const double start = penalised(m, p);
    kve_rounds how{KVE_KULLBACK_LEIBLER, 600, 0.0, -1, &m, KVE_SINGLE, nullptr, 0, 0};
    kve_roundsDone done{};
    ASSERT_EQ(kve_streamFactorise(p.V.data(), p.F, p.T, p.K, p.W.data(), p.H.data(), &how, nullptr,
                                  nullptr, &done),
              KVE_OK);
    EXPECT_EQ(done.iterations, 600);
    EXPECT_GT(done.relaxed, 0);
    EXPECT_LT(done.relaxed, 600);
    EXPECT_EQ(done.relaxed % KVE_CHECK_EVERY, 0);
    EXPECT_TRUE(std::isfinite(done.cost));
    EXPECT_LT(done.cost, start);

    // the group whose estimate rose is undone (its rounds still counted):
    // the run is the relaxed groups before it, then plain rounds from where
    // they left the factors
    Problem q(40, 200, 6, 13);
    kve_model plain = m;
    plain.relax = 1.0;
    for (int i = 0; i < 600 - KVE_CHECK_EVERY; i += KVE_CHECK_EVERY)
        ASSERT_EQ(roundsIn(KVE_SINGLE, i < done.relaxed - KVE_CHECK_EVERY ? m : plain, q,
                           KVE_CHECK_EVERY),
                  0);
    EXPECT_EQ(0, std::memcmp(q.W.data(), p.W.data(), p.W.size() * sizeof(double)));
    EXPECT_EQ(0, std::memcmp(q.H.data(), p.H.data(), p.H.size() * sizeof(double)));

    m.relax = 1.0;
    EXPECT_TRUE(kve_modelIsPlain(&m));
    for (double bad : {0.5, 2.5, std::nan("")}) {
        m.relax = bad;
        EXPECT_FALSE(kve_modelIsValid(&m)) << bad;
    }
}

// Each component's blocks as the rounds leave them with shared spectra:
// every block sum times the spectrum summed over the blocks, over the total
std::vector<double> sharedOf(std::vector<double> W, int F, int K, int blocks) {
    const int fb = F / blocks;
    for (int k = 0; k < K; k++) {
        std::vector<double> s(size_t(blocks), 0.0);
        double total = 0;
        for (int b = 0; b < blocks; b++) {
            for (int f = 0; f < fb; f++) s[size_t(b)] += W[size_t(b * fb + f) * K + k];
            total += s[size_t(b)];
        }
        for (int f = 0; f < fb; f++) {
            double w = 0;
            for (int b = 0; b < blocks; b++) w += W[size_t(b * fb + f) * K + k];
            for (int b = 0; b < blocks; b++)
                W[size_t(b * fb + f) * K + k] = s[size_t(b)] * w / total;
        }
    }
    return W;
}

// Shared spectra: one round is the written-out update from the shared
// start, shared again; after many every component's blocks are still one
// spectrum times a gain per block, and the divergence has fallen. Rows the
// blocks do not divide, and convolutive bases, share nothing.
TEST(ModelBeta, SharedSpectraAreOneSpectrumWithAGainPerBlock) {
    for (int precision : {KVE_DOUBLE, KVE_SINGLE})
        for (double beta : {0.5, 1.0, 2.0})
            for (int blocks : {2, 3}) {
                SCOPED_TRACE(testing::Message() << "precision " << precision << " beta " << beta
                                                << " blocks " << blocks);
                kve_model m = model(beta, false);
                m.shared = blocks;
                m.relax = 1.5;
                Problem p(blocks * 11, 140, 4, 21);
                for (double &w : p.W) w = float(w);
                for (double &h : p.H) h = float(h);
                std::vector<double> W = sharedOf(p.W, p.F, p.K, blocks), H = p.H;
                Problem q = p;
                ASSERT_EQ(roundsIn(precision, m, p, 1), 0);
                referenceRound(m, p, W, H);
                const double tol = precision == KVE_SINGLE ? 2e-5 : 1e-12;
                expectClose(p.H, H, "H", tol);
                expectClose(p.W, sharedOf(W, p.F, p.K, blocks), "W", tol);

                const double before =
                    kve_betaDivergence(beta, q.V.data(), q.W.data(), q.H.data(), q.F, q.T, q.K, 1);
                ASSERT_EQ(roundsIn(precision, m, q, 60), 0);
                const std::vector<double> S = sharedOf(q.W, q.F, q.K, blocks);
                const double most = *std::max_element(q.W.begin(), q.W.end());
                for (size_t i = 0; i < S.size(); i++)
                    ASSERT_NEAR(q.W[i], S[i], tol * most) << "shared after 60, " << i;
                EXPECT_LT(
                    kve_betaDivergence(beta, q.V.data(), q.W.data(), q.H.data(), q.F, q.T, q.K, 1),
                    before);
            }
    kve_model m = model(1.0, false);
    m.shared = 2;
    EXPECT_FALSE(kve_modelIsPlain(&m));
    EXPECT_EQ(kve_modelShared(&m, 30), 2);
    EXPECT_EQ(kve_modelShared(&m, 31), 1);
    m.span = 3;
    EXPECT_EQ(kve_modelShared(&m, 30), 1);
    m.span = 1;
    m.shared = KVE_MOST_SHARED + 1;
    EXPECT_FALSE(kve_modelIsValid(&m));
}

// Beta 1 and 2 without penalties are the object library's rounds up to the
// order of the sums.
TEST(ModelBeta, PlainBetasMatchTheLibraryRounds) {
    for (int cost : {KVE_KULLBACK_LEIBLER, KVE_EUCLIDEAN}) {
        const kve_model m = kve_plainModel(cost);
        Problem p(30, 77, 4, 6), q = p;
        ASSERT_EQ(kve_modelRounds(&m, p.V.data(), p.F, p.T, p.K, p.W.data(), p.H.data(), 5, nullptr,
                                  nullptr),
                  0);
        ASSERT_EQ(qm_NMFFromFloat(cost == KVE_EUCLIDEAN, q.V.data(), q.F, q.T, q.K, 5, q.W.data(),
                                  q.H.data(), nullptr, nullptr),
                  0);
        expectClose(p.W, q.W, "W");
        expectClose(p.H, q.H, "H");
    }
}

// Without penalties every round lowers the divergence; with small ones (or
// one factor's alone) the penalised objective falls.
TEST(ModelBeta, EveryRoundLowersTheObjective) {
    for (double beta : kBetas)
        for (int pen : {kNone, kBoth, kHAlone, kWAlone}) {
            SCOPED_TRACE(testing::Message() << "beta " << beta << " pen " << pen);
            kve_model m = model(beta, false);
            if (pen == kBoth || pen == kWAlone) m.l1W = m.l2W = 1e-3;
            if (pen == kBoth || pen == kHAlone) m.l1H = m.l2H = 1e-3, m.continuity = 1e-4;
            if (pen == kHAlone || pen == kWAlone)
                m.l1W *= 30, m.l2W *= 30, m.l1H *= 30, m.l2H *= 30;
            Problem p(24, 61, 4, 9);
            double last = penalised(m, p);
            ASSERT_TRUE(std::isfinite(last));
            const double first = last;
            for (int i = 0; i < 30; i++) {
                ASSERT_EQ(kve_modelRounds(&m, p.V.data(), p.F, p.T, p.K, p.W.data(), p.H.data(), 1,
                                          nullptr, nullptr),
                          0);
                const double now = penalised(m, p);
                EXPECT_LE(now, last * (1 + 1e-13)) << "round " << i;
                last = now;
            }
            // (for beta <= 0 the zero cells of V, floored, hold most of it)
            EXPECT_LT(last, (beta > 0 ? 0.9 : 1.0) * first);
        }
}

// The gradients the updates split by sign are those of kve_penaltyCost.
TEST(ModelBeta, PenaltyGradientsMatchTheirCost) {
    kve_model m = model(1, true);
    Problem p(5, 9, 3, 2);
    const int ld = p.T + 3;
    std::vector<double> num(size_t(p.K) * ld, 0), den(size_t(p.K) * ld, 0);
    kve_penaltyH(&m, p.H.data(), p.K, p.T, nullptr, num.data(), den.data(), ld);
    for (int k = 0; k < p.K; k++)
        for (int t = 0; t < p.T; t++) {
            std::vector<double> hp = p.H, hm = p.H;
            const double d = 1e-6;
            hp[size_t(k) * p.T + t] += d;
            hm[size_t(k) * p.T + t] -= d;
            const double g = (kve_penaltyCost(&m, p.W.data(), hp.data(), p.F, p.T, p.K) -
                              kve_penaltyCost(&m, p.W.data(), hm.data(), p.F, p.T, p.K)) /
                             (2 * d);
            const size_t i = size_t(k) * ld + t;
            EXPECT_NEAR(den[i] - num[i], g, 1e-6 * (1 + std::fabs(g))) << k << " " << t;
        }
    std::vector<double> wn(p.W.size(), 0), wd(p.W.size(), 0);
    kve_penaltyW(&m, p.W.data(), p.F, p.K, nullptr, wn.data(), wd.data());
    for (size_t i = 0; i < p.W.size(); i++) {
        EXPECT_EQ(wn[i], 0.0);
        EXPECT_DOUBLE_EQ(wd[i], m.l1W + m.l2W * p.W[i]);
    }
}

// Weights on one factor alone penalise the components' models: the
// gradients both updates take are those of that cost, the same whichever
// factor was given them, and the rounds, plain and convolutive, make the same
// model from any split of each component's scale between W and H: the
// penalty is not paid off by growing the other factor. And it moves the
// model.
TEST(ModelBeta, APenaltyAloneIsNotPaidOffByScale) {
    const double c[] = {30.0, 0.02, 4.0};
    for (int alone : {kHAlone, kWAlone}) {
        kve_model m = model(1, alone);
        Problem p(6, 11, 3, 2);
        kve_model other = kve_plainModel(KVE_KULLBACK_LEIBLER);
        other.l1H = m.l1W, other.l2H = m.l2W, other.l1W = m.l1H, other.l2W = m.l2H;
        other.continuity = m.continuity;
        EXPECT_EQ(kve_penaltyCost(&m, p.W.data(), p.H.data(), p.F, p.T, p.K),
                  kve_penaltyCost(&other, p.W.data(), p.H.data(), p.F, p.T, p.K));
        std::vector<double> sl(size_t(4 * p.K));
        kve_penaltySlopes(&m, p.W.data(), p.H.data(), p.F, p.T, p.K, sl.data());
        const int ld = p.T;
        std::vector<double> num(p.H.size(), 0), den(p.H.size(), 0), wn(p.W.size(), 0),
            wd(p.W.size(), 0);
        kve_penaltyH(&m, p.H.data(), p.K, p.T, sl.data(), num.data(), den.data(), ld);
        kve_penaltyW(&m, p.W.data(), p.F, p.K, sl.data(), wn.data(), wd.data());
        for (int which = 0; which < 2; which++) {
            std::vector<double> &x = which ? p.W : p.H;
            const std::vector<double> &g = which ? wd : den, &n = which ? wn : num;
            for (size_t i = 0; i < x.size(); i++) {
                const double was = x[i], d = 1e-6;
                x[i] = was + d;
                const double up = kve_penaltyCost(&m, p.W.data(), p.H.data(), p.F, p.T, p.K);
                x[i] = was - d;
                const double down = kve_penaltyCost(&m, p.W.data(), p.H.data(), p.F, p.T, p.K);
                x[i] = was;
                EXPECT_NEAR(g[i] - n[i], (up - down) / (2 * d), 1e-6 * (1 + std::fabs(g[i])))
                    << "alone " << alone << (which ? " W " : " H ") << i;
            }
        }

        for (int span : {1, 3}) {
            SCOPED_TRACE(testing::Message() << "alone " << alone << " span " << span);
            m.span = span;
            m.continuity = 0;
            Problem a(20, 50, 3, 6);
            std::vector<double> W(size_t(span) * a.W.size());
            for (size_t i = 0; i < W.size(); i++)
                W[i] = a.W[i % a.W.size()] * (1.0 + 0.1 * double(i / a.W.size()));
            std::vector<double> H = a.H, W2 = W, H2 = H;
            for (size_t i = 0; i < W2.size(); i++) W2[i] *= c[i % 3];
            for (size_t i = 0; i < H2.size(); i++) H2[i] /= c[i / size_t(a.T)];
            ASSERT_EQ(kve_modelRounds(&m, a.V.data(), a.F, a.T, a.K, W.data(), H.data(), 20,
                                      nullptr, nullptr),
                      0);
            ASSERT_EQ(kve_modelRounds(&m, a.V.data(), a.F, a.T, a.K, W2.data(), H2.data(), 20,
                                      nullptr, nullptr),
                      0);
            for (size_t i = 0; i < W.size(); i++) W[i] *= c[i % 3];
            for (size_t i = 0; i < H.size(); i++) H[i] /= c[i / size_t(a.T)];
            expectClose(W2, W, "W", 1e-9);
            expectClose(H2, H, "H", 1e-9);
            // and the penalty moved the model: not the unpenalised rounds' one
            kve_model none = m;
            none.l1W = none.l2W = none.l1H = none.l2H = 0;
            std::vector<double> Wn = W2, Hn = H2;
            Problem b = a;
            for (size_t i = 0; i < W.size(); i++)
                Wn[i] = a.W[i % a.W.size()] * (1.0 + 0.1 * double(i / a.W.size())) * c[i % 3];
            for (size_t i = 0; i < Hn.size(); i++) Hn[i] = a.H[i] / c[i / size_t(a.T)];
            ASSERT_EQ(kve_modelRounds(&none, b.V.data(), b.F, b.T, b.K, Wn.data(), Hn.data(), 20,
                                      nullptr, nullptr),
                      0);
            auto lambda = [&](const std::vector<double> &w, const std::vector<double> &h) {
                std::vector<double> out(size_t(a.F) * a.T, 0.0);
                for (int l = 0; l < span; l++)
                    for (int f = 0; f < a.F; f++)
                        for (int k = 0; k < a.K; k++)
                            for (int t = l; t < a.T; t++)
                                out[size_t(f) * a.T + t] +=
                                    w[(size_t(l) * a.F + f) * a.K + k] * h[size_t(k) * a.T + t - l];
                return out;
            };
            const std::vector<double> with = lambda(W2, H2), without = lambda(Wn, Hn);
            double moved = 0;
            for (size_t i = 0; i < with.size(); i++)
                moved = std::max(moved, std::fabs(with[i] - without[i]) / (without[i] + 1e-300));
            EXPECT_GT(moved, 0.05);
        }
    }
    // the scale split is held within bounds, by powers of two
    EXPECT_EQ(kve_penaltyBalance(1.0, std::ldexp(1.0, 40)), 20);
    EXPECT_EQ(kve_penaltyBalance(std::ldexp(1.0, 40), 1.0), -20);
    EXPECT_EQ(kve_penaltyBalance(1.0, std::ldexp(1.0, 30)), 0);
    EXPECT_EQ(kve_penaltyBalance(0.0, 1e300), 0);
    EXPECT_EQ(kve_penaltyBalance(std::nan(""), 1.0), 0);
    for (int span : {1, 2})
        for (int precision : {KVE_DOUBLE, KVE_SINGLE}) {
            kve_model m = kve_plainModel(KVE_KULLBACK_LEIBLER);
            m.l2H = 1e3, m.span = span;
            Problem a(20, 50, 3, 6);
            std::vector<double> W(size_t(span) * a.W.size());
            for (size_t i = 0; i < W.size(); i++) W[i] = a.W[i % a.W.size()];
            for (size_t i = 0; i < a.H.size(); i++) a.H[i] *= 1e12;
            ASSERT_EQ(kve_modelRoundsIn(precision, &m, a.V.data(), a.F, a.T, a.K, 0, W.data(),
                                        a.H.data(), 300, nullptr, nullptr),
                      0);
            for (int k = 0; k < a.K; k++) {
                double sw = 0, gh = 0;
                for (size_t i = size_t(k); i < W.size(); i += size_t(a.K)) sw += W[i];
                for (int t = 0; t < a.T; t++) gh += a.H[size_t(k) * a.T + t];
                EXPECT_TRUE(std::isfinite(sw) && std::isfinite(gh)) << span << " " << precision;
                if (sw > 0 && gh > 0) {
                    EXPECT_LT(std::fabs(std::log2(gh / sw)), 34) << span << " " << precision;
                }
            }
        }
}

// The divergence against its definition, for a plain and a convolutive
// approximation, and the plain costs where they agree; the estimate reads
// every checkStep-th frame and adds the penalties.
TEST(ModelBeta, DivergenceAndEstimate) {
    Problem p(7, 40, 2, 4);
    const int span = 3;
    std::vector<double> Wc(size_t(span) * p.W.size());
    for (size_t i = 0; i < Wc.size(); i++) Wc[i] = 0.05 * double(i % 17) + 0.01;
    for (double beta : kBetas)
        for (int sp : {1, span}) {
            const double *W = sp == 1 ? p.W.data() : Wc.data();
            for (int step : {1, kve_checkStep(p.F, p.T)}) {
                double want = 0;
                for (int f = 0; f < p.F; f++)
                    for (int t = 0; t < p.T; t += step) {
                        double y = 0;
                        for (int l = 0; l < sp && l <= t; l++)
                            for (int k = 0; k < p.K; k++)
                                y += W[(size_t(l) * p.F + f) * p.K + k] *
                                     p.H[size_t(k) * p.T + t - l];
                        double x = p.V[size_t(f) * p.T + t];
                        if (beta <= 0 && x < DBL_EPSILON) x = DBL_EPSILON;
                        want += beta == 1   ? (x > 0 ? x * std::log(x / y) : 0) - x + y
                                : beta == 0 ? x / y - std::log(x / y) - 1
                                            : (std::pow(x, beta) + (beta - 1) * std::pow(y, beta) -
                                               beta * x * std::pow(y, beta - 1)) /
                                                  (beta * (beta - 1));
                    }
                kve_model m = model(beta, step > 1);
                m.span = sp;
                const double got =
                    step == 1
                        ? kve_betaDivergence(beta, p.V.data(), W, p.H.data(), p.F, p.T, p.K, sp)
                        : kve_modelEstimate(&m, p.V.data(), W, p.H.data(), p.F, p.T, p.K) -
                              kve_penaltyCost(&m, W, p.H.data(), p.F, p.T, p.K);
                EXPECT_NEAR(got, want, 1e-10 * std::fabs(want)) << beta << " " << sp << " " << step;
            }
        }
    EXPECT_NEAR(kve_betaDivergence(1, p.V.data(), p.W.data(), p.H.data(), p.F, p.T, p.K, 1),
                kve_klDivergence(p.V.data(), p.W.data(), p.H.data(), p.F, p.T, p.K), 1e-9);
    EXPECT_NEAR(2 * kve_betaDivergence(2, p.V.data(), p.W.data(), p.H.data(), p.F, p.T, p.K, 1),
                kve_euclideanCost(p.V.data(), p.W.data(), p.H.data(), p.F, p.T, p.K), 1e-9);
}

// Large enough to run on two threads: the same bits as on one.
TEST(ModelBeta, ThreadsGiveTheSameBits) {
    const int was = omp_get_max_threads();
    for (double beta : {1.0, 0.5})
        for (int shared : {0, 2, 3}) {
            kve_model m = model(beta, shared == 0);
            m.shared = shared;
            Problem one(150, 700, 6, 3), two = one;
            omp_set_num_threads(1);
            ASSERT_EQ(kve_modelRounds(&m, one.V.data(), one.F, one.T, one.K, one.W.data(),
                                      one.H.data(), 4, nullptr, nullptr),
                      0);
            omp_set_num_threads(2);
            ASSERT_EQ(kve_modelRounds(&m, two.V.data(), two.F, two.T, two.K, two.W.data(),
                                      two.H.data(), 4, nullptr, nullptr),
                      0);
            EXPECT_EQ(0, std::memcmp(one.W.data(), two.W.data(), one.W.size() * sizeof(double)));
            EXPECT_EQ(0, std::memcmp(one.H.data(), two.H.data(), one.H.size() * sizeof(double)));
        }
    omp_set_num_threads(was);
}

int stopAt3(int done, int, void *user) {
    static_cast<std::vector<int> *>(user)->push_back(done);
    return done == 3;
}

// The streamed factorisation runs a model to its tolerance and reports the
// divergence; the rounds can be stopped; a plain model is no model at all.
TEST(ModelBeta, StreamedFactorisation) {
    Problem p(40, 90, 3, 7);
    kve_model m = model(0.5, false);
    m.l1H = 1e-3;
    kve_rounds how{KVE_KULLBACK_LEIBLER, 1000, 1e-3, -1, &m, KVE_DOUBLE, nullptr, 0, 0};
    kve_roundsDone done{};
    ASSERT_EQ(kve_streamFactorise(p.V.data(), p.F, p.T, p.K, p.W.data(), p.H.data(), &how, nullptr,
                                  nullptr, &done),
              KVE_OK);
    EXPECT_LT(done.iterations, 1000);
    EXPECT_EQ(done.iterations % KVE_CHECK_EVERY, 0);
    EXPECT_EQ(done.cost,
              kve_betaDivergence(0.5, p.V.data(), p.W.data(), p.H.data(), p.F, p.T, p.K, 1));

    std::vector<int> seen;
    Problem q(40, 90, 3, 7);
    EXPECT_EQ(
        kve_modelRounds(&m, q.V.data(), q.F, q.T, q.K, q.W.data(), q.H.data(), 10, stopAt3, &seen),
        1);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));

    for (int cost : {KVE_KULLBACK_LEIBLER, KVE_EUCLIDEAN}) {
        const kve_model plain = kve_plainModel(cost);
        Problem a(40, 90, 3, 8), b = a;
        kve_rounds withModel{cost, 25, 0.0, -1, &plain, KVE_DOUBLE, nullptr, 0, 0},
            without{cost, 25, 0.0, -1, nullptr, KVE_DOUBLE, nullptr, 0, 0};
        ASSERT_EQ(kve_streamFactorise(a.V.data(), a.F, a.T, a.K, a.W.data(), a.H.data(), &withModel,
                                      nullptr, nullptr, nullptr),
                  KVE_OK);
        ASSERT_EQ(kve_streamFactorise(b.V.data(), b.F, b.T, b.K, b.W.data(), b.H.data(), &without,
                                      nullptr, nullptr, nullptr),
                  KVE_OK);
        EXPECT_EQ(a.W, b.W);
        EXPECT_EQ(a.H, b.H);
    }
}

// The sums over frames are not float sums: on a long sound a round agrees
// with double to float accuracy, where one float sum over every frame
// would be off by about 1e-4.
TEST(ModelSingle, LongSumsKeepTheirDigits) {
    for (double beta : {1.0, 0.5, 2.0}) {
        SCOPED_TRACE(testing::Message() << "beta " << beta);
        const kve_model m = model(beta, false);
        Problem p(4, 300000, 2, 11);
        for (double &w : p.W) w = float(w);
        for (double &h : p.H) h = float(h);
        Problem q = p;
        ASSERT_EQ(roundsIn(KVE_SINGLE, m, p, 1), 0);
        ASSERT_EQ(roundsIn(KVE_DOUBLE, m, q, 1), 0);
        expectClose(p.W, q.W, "W", 3e-6);
        expectClose(p.H, q.H, "H", 3e-6);
    }
}

// The same bits on one or two threads, and given columns of W kept as they
// were given, to the last bit of their doubles.
TEST(ModelSingle, ThreadsAndKeptColumns) {
    const int was = omp_get_max_threads();
    for (double beta : {1.0, 0.5, 2.0})
        for (int pen : {kNone, kBoth, kWAlone}) {
            const kve_model m = model(beta, pen);
            Problem one(150, 700, 6, 3), two = one;
            omp_set_num_threads(1);
            ASSERT_EQ(roundsIn(KVE_SINGLE, m, one, 4, 2), 0);
            omp_set_num_threads(2);
            ASSERT_EQ(roundsIn(KVE_SINGLE, m, two, 4, 2), 0);
            EXPECT_EQ(0, std::memcmp(one.W.data(), two.W.data(), one.W.size() * sizeof(double)));
            EXPECT_EQ(0, std::memcmp(one.H.data(), two.H.data(), one.H.size() * sizeof(double)));
            const Problem given(150, 700, 6, 3);
            for (int f = 0; f < one.F; f++)
                for (int k = 0; k < one.K; k++) {
                    const size_t i = size_t(f) * one.K + k;
                    if (k < 2)
                        ASSERT_EQ(one.W[i], given.W[i]);
                    else
                        ASSERT_EQ(one.W[i], double(float(one.W[i])));
                }
        }
    omp_set_num_threads(was);
}

// On a long sound the rounds go by panels of frames: forced here on a short
// one, panels of one W tile (the float W sums' lanes carried from panel to
// panel), of about 2000 frames (a whole number of float folds), and of all
// the frames give the bits of the sweep by blocks of rows, in double and
// in single, on one thread or two, with parts of rows cut into blocks
// (and float H folds) inside them.
TEST(ModelPanels, GiveTheBitsOfTheRowBlocks) {
    const int was = omp_get_max_threads();
    const size_t perFrame[2] = {6 * 24, 6 * 28};  // H and its sums, double and float
    for (int single : {0, 1})
        for (double beta : {1.0, 0.5, 2.0, 0.0})
            for (int pen : {kNone, kBoth, kHAlone}) {
                SCOPED_TRACE(testing::Message()
                             << "single " << single << " beta " << beta << " penalties " << pen);
                const kve_model m = model(beta, pen);
                const int precision = single ? KVE_SINGLE : KVE_DOUBLE, keep = pen ? 2 : 0;
                Problem blocks(200, 2601, 6, 17);
                omp_set_num_threads(1);
                kve_modelPanels(0, 0);
                ASSERT_EQ(roundsIn(precision, m, blocks, 3, keep), 0);
                for (size_t bytes : {size_t(1), 2000 * perFrame[single], size_t(1) << 20})
                    for (int threads : {1, 2}) {
                        SCOPED_TRACE(testing::Message() << bytes << " bytes, threads " << threads);
                        Problem panels(200, 2601, 6, 17);
                        omp_set_num_threads(threads);
                        kve_modelPanels(1, bytes);
                        ASSERT_EQ(roundsIn(precision, m, panels, 3, keep), 0);
                        kve_modelPanels(0, 0);
                        EXPECT_EQ(0, std::memcmp(blocks.W.data(), panels.W.data(),
                                                 blocks.W.size() * sizeof(double)));
                        EXPECT_EQ(0, std::memcmp(blocks.H.data(), panels.H.data(),
                                                 blocks.H.size() * sizeof(double)));
                    }
            }
    omp_set_num_threads(was);
}

// After 200 rounds from the same start, single precision's divergence is
// double's to 1e-4, for the plain costs (through kve_streamFactorise) and
// the model's.
TEST(ModelSingle, TwoHundredRoundsReachDoublesDivergence) {
    // a sum of three parts of rank one, with a little noise
    Problem base(60, 400, 3, 21);
    std::mt19937 g(4);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> a(60 * 3), b(3 * 400);
    for (double &x : a) x = u(g);
    for (double &x : b) x = u(g) < 0.3 ? 0.0 : u(g);
    for (int f = 0; f < 60; f++)
        for (int t = 0; t < 400; t++) {
            double v = 0.01 * u(g);
            for (int k = 0; k < 3; k++) v += a[f * 3 + k] * b[k * 400 + t];
            base.V[size_t(f) * 400 + t] = float(v);
        }
    const kve_model half = model(0.5, false), is = model(0.0, false);
    const kve_model *models[] = {nullptr, nullptr, &half, &is};
    const int costs[] = {KVE_KULLBACK_LEIBLER, KVE_EUCLIDEAN, KVE_KULLBACK_LEIBLER,
                         KVE_KULLBACK_LEIBLER};
    for (int c = 0; c < 4; c++) {
        SCOPED_TRACE(testing::Message() << "case " << c);
        Problem s = base, d = base;
        kve_rounds hs{costs[c], 200, 0.0, -1, models[c], KVE_SINGLE, nullptr, 0, 0};
        kve_rounds hd{costs[c], 200, 0.0, -1, models[c], KVE_DOUBLE, nullptr, 0, 0};
        kve_roundsDone ds{}, dd{};
        ASSERT_EQ(kve_streamFactorise(s.V.data(), s.F, s.T, s.K, s.W.data(), s.H.data(), &hs,
                                      nullptr, nullptr, &ds),
                  KVE_OK);
        ASSERT_EQ(kve_streamFactorise(d.V.data(), d.F, d.T, d.K, d.W.data(), d.H.data(), &hd,
                                      nullptr, nullptr, &dd),
                  KVE_OK);
        EXPECT_EQ(ds.iterations, 200);
        EXPECT_NEAR(ds.cost / dd.cost, 1.0, 1e-4) << ds.cost << " " << dd.cost;
    }
    kve_rounds bad{KVE_KULLBACK_LEIBLER, 10, 0.0, -1, nullptr, 7, nullptr, 0, 0};
    Problem p = base;
    EXPECT_EQ(kve_streamFactorise(p.V.data(), p.F, p.T, p.K, p.W.data(), p.H.data(), &bad, nullptr,
                                  nullptr, nullptr),
              KVE_BAD_ARGUMENT);
}

}  // namespace
