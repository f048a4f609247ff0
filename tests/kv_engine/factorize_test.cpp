// The engine's factorisation: its starts and its progress callback.
#include "engine_fixture.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <algorithm>
#include <vector>

namespace {

using engtest::Record;

// the parts of the record a factorisation could touch
::testing::AssertionResult sameFactors(const kve_engine &a, const kve_engine &b) {
    if (a.W == b.W && a.H == b.H && a.order == b.order && a.mask == b.mask && a.model == b.model &&
        a.factK == b.factK && a.decompValid == b.decompValid && a.maskEmpty == b.maskEmpty &&
        a.stftReL == b.stftReL && a.stftValid == b.stftValid)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the record changed";
}

class Factorize : public ::testing::Test {
protected:
    Record r;
    void analyse(int channels, int frames, float window = 0.02f) {
        std::vector<float> s = engtest::sound(channels, frames, 22050, 5);
        ASSERT_EQ(kve_loadSound(&r.e, s.data(), channels, frames, 22050), KVE_OK);
        r.e.settings.window = window;
        ASSERT_EQ(kve_analyse(&r.e, nullptr), KVE_OK);
    }
    std::vector<double> W() const { return {r.e.W, r.e.W + r.e.numBins * r.e.factK}; }
    std::vector<double> H() const { return {r.e.H, r.e.H + r.e.factK * r.e.numFrames}; }
};

// The seeded start draws the sequence srand(seed) gives rand(), without
// touching rand()'s own state.
TEST_F(Factorize, SeededStartIsRandsSequence) {
    analyse(1, 8000);
    for (unsigned seed : {1u, 7u, 0u}) {
        std::srand(seed);
        kve_start fromRand{KVE_START_RAND, 0, nullptr, nullptr};
        ASSERT_EQ(kve_factorize(&r.e, 3, &fromRand, nullptr, nullptr), KVE_OK);
        std::vector<double> w = W(), h = H();

        std::srand(99);
        int next = std::rand();
        std::srand(99);
        kve_start seeded{KVE_START_SEEDED, seed, nullptr, nullptr};
        ASSERT_EQ(kve_factorize(&r.e, 3, &seeded, nullptr, nullptr), KVE_OK);
        EXPECT_EQ(W(), w) << seed;
        EXPECT_EQ(H(), h) << seed;
        EXPECT_EQ(std::rand(), next) << "rand() was drawn from";
    }
}

// A given start is used as it is: the same start gives the same factors.
TEST_F(Factorize, GivenStartIsUsedAsItIs) {
    analyse(2, 6000);
    const int K = 2;
    size_t nW = r.e.numBins * K, nH = K * r.e.numFrames;
    std::vector<double> W0(nW), H0(nH);
    for (size_t i = 0; i < nW; ++i) W0[i] = 0.1 + (i % 7) * 0.05;
    for (size_t i = 0; i < nH; ++i) H0[i] = 0.2 + (i % 5) * 0.03;
    kve_start given{KVE_START_GIVEN, 0, W0.data(), H0.data()};
    ASSERT_EQ(kve_factorize(&r.e, K, &given, nullptr, nullptr), KVE_OK);
    std::vector<double> w = W(), h = H();
    ASSERT_EQ(kve_factorize(&r.e, K, &given, nullptr, nullptr), KVE_OK);
    EXPECT_EQ(W(), w);
    EXPECT_EQ(H(), h);
    EXPECT_EQ(*std::max_element(h.begin(), h.end()), 1.0);
}

struct Stopper {
    int stopAt;
    std::vector<int> seen;
    static int call(int done, int total, void *user) {
        auto *s = static_cast<Stopper *>(user);
        EXPECT_EQ(total, 100);
        s->seen.push_back(done);
        return done >= s->stopAt;
    }
};

// A stop leaves the record as it was, factors or none, on one thread or
// several (the larger shape is split between threads when they exist).
TEST_F(Factorize, StopLeavesTheRecordUnchanged) {
    for (int frames : {8000, 200000}) {
        SCOPED_TRACE(frames);
        kve_free(&r.e);
        kve_init(&r.e);
        analyse(2, frames, 0.08f);
        kve_start seeded{KVE_START_SEEDED, 3, nullptr, nullptr};
        Stopper early{3, {}};
        EXPECT_EQ(kve_factorize(&r.e, 4, &seeded, Stopper::call, &early), KVE_STOPPED);
        EXPECT_EQ(early.seen, (std::vector<int>{1, 2, 3}));
        EXPECT_EQ(r.e.W, nullptr);
        EXPECT_FALSE(r.e.decompValid);

        Stopper never{1000, {}};
        ASSERT_EQ(kve_factorize(&r.e, 4, &seeded, Stopper::call, &never), KVE_OK);
        EXPECT_EQ(never.seen.size(), 100u);
        EXPECT_EQ(never.seen.back(), 100);
        kve_engine before = r.e;
        std::vector<double> w = W(), h = H(),
                            mask(r.e.mask, r.e.mask + r.e.numBins * r.e.numFrames);
        std::vector<vDSP_Length> order(r.e.order, r.e.order + 4);

        for (int stopAt : {1, 50, 100}) {
            Stopper s{stopAt, {}};
            EXPECT_EQ(kve_factorize(&r.e, 2, &seeded, Stopper::call, &s), KVE_STOPPED) << stopAt;
            EXPECT_EQ(s.seen.back(), stopAt);
            EXPECT_TRUE(sameFactors(before, r.e)) << stopAt;
            EXPECT_EQ(W(), w);
            EXPECT_EQ(H(), h);
            EXPECT_EQ(std::vector<double>(r.e.mask, r.e.mask + r.e.numBins * r.e.numFrames), mask);
            EXPECT_EQ(std::vector<vDSP_Length>(r.e.order, r.e.order + 4), order);
        }
    }
}

// Refusals before any work, and memory running short at each allocation.
TEST_F(Factorize, RefusalsAndShortMemoryChangeNothing) {
    kve_start start{KVE_START_SEEDED, 1, nullptr, nullptr};
    EXPECT_EQ(kve_factorize(&r.e, 2, &start, nullptr, nullptr), KVE_NO_ANALYSIS);
    analyse(2, 6000);
    EXPECT_EQ(kve_factorize(&r.e, 0, &start, nullptr, nullptr), KVE_BAD_COMPONENTS);
    EXPECT_EQ(kve_checkComponents(&r.e, 0x7fffffff), KVE_TOO_MANY_COMPONENTS);
    ASSERT_EQ(kve_factorize(&r.e, 2, &start, nullptr, nullptr), KVE_OK);
    kve_engine before = r.e;
    for (long n = 0; n < 8; ++n) {  // W, H, mask, centroids, column, order, V, the sums
        kve_setAllocFailure(n);
        EXPECT_EQ(kve_factorize(&r.e, 3, &start, nullptr, nullptr), KVE_NO_MEMORY) << n;
        kve_setAllocFailure(-1);
        EXPECT_TRUE(sameFactors(before, r.e)) << n;
    }
}

}  // namespace
