// The nndsvda start and the exact costs on one, two and three threads: the
// same bits each time, and the costs those of the one-thread sums written
// out here. The shapes are odd on purpose: rows and frames away from the
// BLAS's tile sizes and from the blocks the work is dealt in, a short last
// block.
#include "kv_stream.h"
extern "C" {
#include "model_internal.h"  // the team's ordered parts
}

#include <Accelerate/Accelerate.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

extern "C" void omp_set_num_threads(int);
extern "C" int omp_get_max_threads(void);

namespace {

// each call of fn with the team size set to 1, 2 and 3
template <typename Fn>
void onThreads(Fn fn) {
    const int was = omp_get_max_threads();
    for (int n : {1, 2, 3}) {
        omp_set_num_threads(n);
        fn(n);
    }
    omp_set_num_threads(was);
}

bool sameBits(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// a spectrogram-like V: a few smooth components, noise, some zeros
std::vector<float> spectrogram(int rows, int frames, unsigned seed) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<float> V(size_t(rows) * frames);
    for (int r = 0; r < rows; ++r)
        for (int t = 0; t < frames; ++t) {
            double v = 0;
            for (int k = 0; k < 3; ++k)
                v += (1 + std::sin(r * (k + 1) * 0.021)) * (1 + std::cos(t * (k + 2) * 0.013));
            const double n = u(g);
            V[size_t(r) * frames + t] = n < 0.07 ? 0.0f : float(1e-3 * v * (0.5 + n));
        }
    return V;
}

struct Factors {
    int rows, frames, K;
    std::vector<float> V;
    std::vector<double> W, H;
    Factors(int r, int t, int k, unsigned seed)
        : rows(r), frames(t), K(k), V(spectrogram(r, t, seed)), W(size_t(r) * k), H(size_t(k) * t) {
        std::mt19937 g(seed + 1);
        std::uniform_real_distribution<double> u(0.01, 0.1);
        for (double &w : W) w = u(g);
        for (double &h : H) h = u(g);
    }
};

// Today's sums, one thread: W H sixteen rows at a time, the terms added
// cell by cell in storage order.
double klOrEuclidean(bool eucl, const Factors &f, int step) {
    const int n = (f.frames + step - 1) / step;
    std::vector<double> Hs(size_t(f.K) * n), WH(size_t(16) * n);
    for (int k = 0; k < f.K; ++k)
        for (int i = 0; i < n; ++i)
            Hs[size_t(k) * n + i] = f.H[size_t(k) * f.frames + size_t(i) * step];
    double d = 0;
    for (int r0 = 0; r0 < f.rows; r0 += 16) {
        const int nr = std::min(16, f.rows - r0);
        vDSP_mmulD(f.W.data() + size_t(r0) * f.K, 1, Hs.data(), 1, WH.data(), 1, nr, n, f.K);
        for (int r = 0; r < nr; ++r)
            for (int i = 0; i < n; ++i) {
                const double x = f.V[size_t(r0 + r) * f.frames + size_t(i) * step];
                const double m = WH[size_t(r) * n + i], y = m > 1e-300 ? m : 1e-300;
                d += eucl ? (x - m) * (x - m) : x > 0 ? x * std::log(x / y) - x + y : y;
            }
    }
    return d;
}

// The β-divergence cell by cell, Λ a row at a time over the span's blocks of W.
double betaOf(double beta, const Factors &f, const std::vector<double> &W, int span) {
    double d = 0;
    std::vector<double> lam(f.frames);
    for (int r = 0; r < f.rows; ++r) {
        std::fill(lam.begin(), lam.end(), 0.0);
        for (int l = 0; l < span; ++l)
            for (int k = 0; k < f.K; ++k) {
                const double wk = W[(size_t(l) * f.rows + r) * f.K + k];
                for (int t = l; t < f.frames; ++t) lam[t] += wk * f.H[size_t(k) * f.frames + t - l];
            }
        for (int t = 0; t < f.frames; ++t) {
            double x = f.V[size_t(r) * f.frames + t], y = lam[t];
            if (beta <= 0.0 && x < DBL_EPSILON) x = DBL_EPSILON;
            const double lo = beta < 1.0 ? DBL_EPSILON : 1e-300;
            if (!(y > lo)) y = lo;
            double c;
            if (beta == 1.0)
                c = x > 0 ? x * std::log(x / y) - x + y : y;
            else if (beta == 0.0)
                c = x / y - std::log(x / y) - 1.0;
            else if (beta == 2.0)
                c = 0.5 * (x - y) * (x - y);
            else {
                const double yb1 = std::pow(y, beta - 1.0);
                c = (std::pow(x, beta) + (beta - 1.0) * yb1 * y - beta * x * yb1) /
                    (beta * (beta - 1.0));
            }
            d += c;
        }
    }
    return d;
}

}  // namespace

// rows x frames x K: one block of V; two blocks, both cut in two; a last
// block too small to cut (Y = V Z's last block made after the team's);
// fewer rows than two cuts; a range as wide as the rows
TEST(StreamThreads, NndsvdaStartHasTheSameBitsOnAnyNumberOfThreads) {
    const struct {
        int rows, frames, K;
    } shapes[] = {
        {777, 2049, 3}, {1001, 3007, 7}, {4098, 1100, 10}, {100, 50001, 5}, {67, 70001, 60}};
    for (const auto &s : shapes) {
        SCOPED_TRACE(testing::Message() << s.rows << " x " << s.frames << ", K " << s.K);
        const std::vector<float> V = spectrogram(s.rows, s.frames, 11);
        std::vector<double> W1, H1;
        onThreads([&](int n) {
            std::vector<double> W(size_t(s.rows) * s.K), H(size_t(s.K) * s.frames);
            ASSERT_EQ(kve_nndsvdaStart(V.data(), s.rows, s.frames, s.K, 4, W.data(), H.data()), 0);
            if (n == 1) {
                W1 = W, H1 = H;
                return;
            }
            EXPECT_TRUE(sameBits(W, W1)) << n << " threads";
            EXPECT_TRUE(sameBits(H, H1)) << n << " threads";
        });
    }
}

// Two runs in one program, each starting on its own thread, as two Python
// threads do: the single-threaded BLAS must see one call at a time, and each
// start gets the bits of a start alone.
TEST(StreamThreads, StartsOnTwoThreadsAtOnceGetTheBitsOfOneAlone) {
    const int rows = 1001, frames = 3007, K = 7;
    const std::vector<float> V = spectrogram(rows, frames, 12);
    std::vector<double> W1(size_t(rows) * K), H1(size_t(K) * frames);
    ASSERT_EQ(kve_nndsvdaStart(V.data(), rows, frames, K, 4, W1.data(), H1.data()), 0);
    for (int round = 0; round < 4; round++) {
        std::vector<double> W[2], H[2];
        int rc[2] = {1, 1};
        std::thread runs[2];
        for (int i = 0; i < 2; i++) {
            W[i].assign(W1.size(), 0.0);
            H[i].assign(H1.size(), 0.0);
            runs[i] = std::thread([&, i] {
                rc[i] = kve_nndsvdaStart(V.data(), rows, frames, K, 4, W[i].data(), H[i].data());
            });
        }
        for (std::thread &t : runs) t.join();
        for (int i = 0; i < 2; i++) {
            ASSERT_EQ(rc[i], 0);
            EXPECT_TRUE(sameBits(W[i], W1)) << "round " << round << ", run " << i;
            EXPECT_TRUE(sameBits(H[i], H1)) << "round " << round << ", run " << i;
        }
    }
}

TEST(StreamThreads, CostsAreTheOneThreadSumsOnAnyNumberOfThreads) {
    // rows not a multiple of the blocks, a single frame, a sampled estimate
    const struct {
        int rows, frames, K;
    } shapes[] = {{203, 1001, 5}, {37, 4099, 2}, {70000, 1, 3}, {2051, 1030, 4}};
    for (const auto &s : shapes) {
        SCOPED_TRACE(testing::Message() << s.rows << " x " << s.frames << ", K " << s.K);
        const Factors f(s.rows, s.frames, s.K, 5);
        const int step = kve_checkStep(f.rows, f.frames);
        const double kl = klOrEuclidean(false, f, 1), eu = klOrEuclidean(true, f, 1),
                     est = klOrEuclidean(false, f, step);
        onThreads([&](int n) {
            const float *V = f.V.data();
            const double *W = f.W.data(), *H = f.H.data();
            EXPECT_TRUE(sameBits(kve_klDivergence(V, W, H, f.rows, f.frames, f.K), kl)) << n;
            EXPECT_TRUE(
                sameBits(kve_cost(KVE_KULLBACK_LEIBLER, V, W, H, f.rows, f.frames, f.K), kl))
                << n;
            EXPECT_TRUE(sameBits(kve_euclideanCost(V, W, H, f.rows, f.frames, f.K), eu)) << n;
            EXPECT_TRUE(sameBits(kve_cost(KVE_EUCLIDEAN, V, W, H, f.rows, f.frames, f.K), eu)) << n;
            EXPECT_TRUE(sameBits(kve_klEstimate(V, W, H, f.rows, f.frames, f.K), est)) << n;
        });
    }
}

// The cells run in vectors with the C library's vector log and power: each
// instruction set's copy is within rounding of the cell-by-cell sum (zeros
// in V, frames not a multiple of the vectors), and gives the same bits on any
// number of threads.
TEST(StreamThreads, BetaDivergenceIsTheOneThreadSumOnAnyNumberOfThreads) {
    const Factors f(301, 1203, 4, 9);
    struct Cap {
        ~Cap() { kve_vectorCap(KVE_VECTOR_AVX512); }
    } restore;
    for (int level : {KVE_VECTOR_AVX512, KVE_VECTOR_AVX2, KVE_VECTOR_BASE}) {
        kve_vectorCap(level);
        for (int span : {1, 3}) {
            std::vector<double> W(size_t(span) * f.rows * f.K);
            for (size_t i = 0; i < W.size(); ++i)
                W[i] = f.W[i % f.W.size()] * (1.0 + 0.1 * double(i / f.W.size()));
            for (double beta : {0.0, 0.5, 1.0, 1.5, 2.0, -0.5}) {
                SCOPED_TRACE(testing::Message()
                             << "level " << level << ", beta " << beta << ", span " << span);
                const double want = betaOf(beta, f, W, span);
                double one = 0;
                onThreads([&](int n) {
                    const double d = kve_betaDivergence(beta, f.V.data(), W.data(), f.H.data(),
                                                        f.rows, f.frames, f.K, span);
                    EXPECT_NEAR(d, want, 1e-12 * std::fabs(want)) << n << " threads";
                    if (n == 1)
                        one = d;
                    else
                        EXPECT_TRUE(sameBits(d, one)) << n << " threads";
                });
            }
        }
    }
    // the estimate: the same bits on any number of threads
    kve_model m = kve_plainModel(KVE_KULLBACK_LEIBLER);
    m.beta = 0.5, m.l1H = 0.2, m.continuity = 0.3;
    const Factors big(3001, 907, 3, 2);  // sampled: every other frame
    ASSERT_GT(kve_checkStep(big.rows, big.frames), 1);
    double one = 0;
    onThreads([&](int n) {
        const double e = kve_modelEstimate(&m, big.V.data(), big.W.data(), big.H.data(), big.rows,
                                           big.frames, big.K);
        if (n == 1)
            one = e;
        else
            EXPECT_TRUE(sameBits(e, one)) << n << " threads";
    });
}

// Parts made in any order by any thread are added in their own order, each
// from a slot no other part holds meanwhile.
TEST(StreamThreads, OrderedPartsAreAddedInTheirOrder) {
    struct Job {
        std::vector<std::atomic<int>> slot;
        std::vector<int> added;
        std::atomic<int> clash{0};
        explicit Job(int slots) : slot(slots) {}
        static void make(void *p, int s, int i) {
            auto *j = static_cast<Job *>(p);
            j->slot[size_t(s)].store(i);
            // uneven parts, so that the threads overtake each other
            std::this_thread::sleep_for(std::chrono::microseconds((i * 37) % 5 * 100));
            if (j->slot[size_t(s)].load() != i) j->clash++;
        }
        static void add(void *p, int s, int i) {
            auto *j = static_cast<Job *>(p);
            if (j->slot[size_t(s)].load() != i) j->clash++;
            j->added.push_back(i);
        }
    };
    for (int slots : {1, 2, 3, 5})
        for (int nth : {1, 2, 3}) {
            Job job(slots);
            kve_teamOrdered(nth, slots, 40, Job::make, Job::add, &job);
            std::vector<int> want(40);
            for (int i = 0; i < 40; ++i) want[size_t(i)] = i;
            EXPECT_EQ(job.added, want) << slots << " slots, " << nth << " threads";
            EXPECT_EQ(job.clash.load(), 0) << slots << " slots, " << nth << " threads";
        }
}
