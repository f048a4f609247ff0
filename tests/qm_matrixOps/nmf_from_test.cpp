// qm_NMFFrom: the factorisations' rounds and order from a given start, with
// a callback that hears of every round and can stop the work.
#include "nmf_checks.hpp"
#include "qm_matrixOps.h"

#include <vector>

namespace {

struct Rounds {
    int stopAt;
    std::vector<int> seen;
    static int call(int done, int total, void *user) {
        auto *r = static_cast<Rounds *>(user);
        EXPECT_EQ(total, 30);
        r->seen.push_back(done);
        return done >= r->stopAt;
    }
};

// From the random start qm_initNMF draws, it is qm_klNMF or qm_euclNMF
// bit for bit, the callback hearing of rounds 1..30.
TEST(NMFFrom, FromTheRandomStartIsTheWholeCall) {
    const int F = 40, T = 70, K = 3;
    naive::Mat V = naive::productV(F, T, K, 4, 0.1);
    for (int eucl : {0, 1}) {
        naive::Mat W(F * K), H(K * T), W2(F * K), H2(K * T);
        srand(9);
        ASSERT_EQ(eucl ? qm_euclNMF(V.data(), F, T, K, 30, W.data(), H.data())
                       : qm_klNMF(V.data(), F, T, K, 30, W.data(), H.data()),
                  0);
        srand(9);
        qm_initNMF(F, T, K, W2.data(), H2.data());
        Rounds r{1000, {}};
        ASSERT_EQ(qm_NMFFrom(eucl, V.data(), F, T, K, 30, W2.data(), H2.data(), Rounds::call, &r),
                  0);
        EXPECT_EQ(W2, W) << eucl;
        EXPECT_EQ(H2, H) << eucl;
        ASSERT_EQ(r.seen.size(), 30u);
        for (int i = 0; i < 30; ++i) EXPECT_EQ(r.seen[i], i + 1);
    }
}

// A stop ends the work after the round that asked; an empty shape still
// reports its rounds and can be stopped too.
TEST(NMFFrom, CallbackStopsTheWork) {
    const int F = 20, T = 30, K = 2;
    naive::Mat V = naive::productV(F, T, K, 5, 0.1);
    naive::Mat W(F * K, 0.5), H(K * T, 0.5);
    Rounds r{7, {}};
    EXPECT_EQ(qm_NMFFrom(0, V.data(), F, T, K, 30, W.data(), H.data(), Rounds::call, &r), 1);
    EXPECT_EQ(r.seen.back(), 7);
    EXPECT_EQ(r.seen.size(), 7u);

    Rounds empty{4, {}};
    EXPECT_EQ(qm_NMFFrom(1, V.data(), F, 0, K, 30, W.data(), H.data(), Rounds::call, &empty), 1);
    EXPECT_EQ(empty.seen, (std::vector<int>{1, 2, 3, 4}));
}

}  // namespace
