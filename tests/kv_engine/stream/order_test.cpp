// The order keys of the streamed pipeline's components against closed
// forms, and the reordering of W and H they drive.
#include "kv_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// bins 4, frames 5, stacked or not
kve_streamShape shapeOf(int bins, long frames, bool stacked) {
    kve_streamShape s{};
    s.bins = bins;
    s.rows = stacked ? 2 * bins : bins;
    s.stacked = stacked;
    s.frames = frames;
    s.N = 2 * (bins - 1);
    return s;
}

}  // namespace

TEST(StreamOrder, KeysFollowTheirDefinitions) {
    const kve_streamShape s = shapeOf(4, 5, false);
    const int K = 3;
    // W rows x K: component 0 low, 1 high, 2 silent
    const std::vector<double> W = {4, 0, 0, 1, 0, 0, 0, 1, 0, 0, 3, 0};
    const std::vector<double> H = {0, 1, 2, 0, 0, /**/ 0, 0, 0, 5, 1, /**/ 0, 0, 0, 0, 0};
    std::vector<double> key(K);

    ASSERT_EQ(kve_orderKeys(&s, W.data(), H.data(), K, KVE_BY_CENTROID, key.data()), KVE_OK);
    EXPECT_DOUBLE_EQ(key[0], (1 * 4 + 2 * 1) / 5.0);  // centroid in bins from 1: sum b a / sum a
    EXPECT_DOUBLE_EQ(key[1], (3 * 1 + 4 * 3) / 4.0);
    EXPECT_EQ(key[2], -1.0);  // no mass: below every centroid, which counts from 1

    ASSERT_EQ(kve_orderKeys(&s, W.data(), H.data(), K, KVE_BY_PEAK, key.data()), KVE_OK);
    EXPECT_EQ(key[0], 0.0);
    EXPECT_EQ(key[1], 3.0);
    EXPECT_EQ(key[2], -INFINITY);

    ASSERT_EQ(kve_orderKeys(&s, W.data(), H.data(), K, KVE_BY_ENERGY, key.data()), KVE_OK);
    EXPECT_DOUBLE_EQ(key[0], (16 + 1) * (1 + 4));  // |w|^2 |h|^2
    EXPECT_DOUBLE_EQ(key[1], (1 + 9) * (25 + 1));
    EXPECT_EQ(key[2], 0.0);

    ASSERT_EQ(kve_orderKeys(&s, W.data(), H.data(), K, KVE_BY_ONSET, key.data()), KVE_OK);
    EXPECT_EQ(key[0], -1.0);  // first frame at half the largest value
    EXPECT_EQ(key[1], -3.0);
    EXPECT_EQ(key[2], -INFINITY);
}

// Stacked rows: the shown basis sums the channels' halves.
TEST(StreamOrder, StackedBasisIsTheSumOfItsHalves) {
    const kve_streamShape s = shapeOf(3, 2, true);
    const std::vector<double> W = {1, 10, 2, 20, 3, 30, 4, 40, 5, 50, 6, 60};  // 6 rows x 2
    std::vector<double> w(3);
    kve_shownBasis(&s, W.data(), 2, 1, w.data());
    EXPECT_EQ(w, (std::vector<double>{10 + 40, 20 + 50, 30 + 60}));
}

// The components from `from` on move as whole columns and rows, largest key
// first, equal keys in their old order; those before `from` stay.
TEST(StreamOrder, ReorderMovesColumnsAndRowsStably) {
    const kve_streamShape s = shapeOf(2, 2, false);
    const int K = 4;
    // |w|^2 by component 1, 4, 4, 9 with H all ones; the columns differ
    const std::vector<double> W = {1, 2, 0, 3, /**/ 0, 0, 2, 0};
    const std::vector<double> H(8, 1.0);
    for (int from : {0, 1}) {
        std::vector<double> w = W, h = H;
        ASSERT_EQ(kve_orderComponents(&s, w.data(), h.data(), K, from, KVE_BY_ENERGY), KVE_OK);
        const std::vector<int> want =
            from == 0 ? std::vector<int>{3, 1, 2, 0} : std::vector<int>{0, 3, 1, 2};
        for (int j = 0; j < K; ++j)
            for (int r = 0; r < 2; ++r)
                EXPECT_EQ(w[size_t(r * K + j)], W[size_t(r * K + want[size_t(j)])])
                    << "from " << from << ", place " << j;
        EXPECT_EQ(h, H);
    }
    std::vector<double> w = W, h = H;
    EXPECT_EQ(kve_orderComponents(&s, w.data(), h.data(), K, K, KVE_BY_ENERGY), KVE_OK);
    EXPECT_EQ(w, W);  // nothing after the given ones
    EXPECT_EQ(kve_orderComponents(nullptr, w.data(), h.data(), K, 0, KVE_BY_CENTROID),
              KVE_BAD_ARGUMENT);
}

// H's rows move with W's columns.
TEST(StreamOrder, ActivationsMoveWithTheirBases) {
    const kve_streamShape s = shapeOf(2, 3, false);
    std::vector<double> W = {1, 3, /**/ 0, 0};  // component 1 louder
    std::vector<double> H = {1, 2, 3, /**/ 4, 5, 6};
    ASSERT_EQ(kve_orderComponents(&s, W.data(), H.data(), 2, 0, KVE_BY_ENERGY), KVE_OK);
    EXPECT_EQ(W, (std::vector<double>{3, 1, 0, 0}));
    EXPECT_EQ(H, (std::vector<double>{4, 5, 6, 1, 2, 3}));
}
