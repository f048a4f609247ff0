// Index sort: order, ties and NaN.
#include <Accelerate/Accelerate.h>
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

std::vector<vDSP_Length> sorted(const std::vector<double> &v, int order) {
    std::vector<vDSP_Length> idx(v.size());
    for (size_t i = 0; i < idx.size(); i++) idx[i] = i;
    vDSP_vsortiD(v.data(), idx.data(), nullptr, idx.size(), order);
    return idx;
}

}  // namespace

TEST(Sort, DescendingWithTiesInIndexOrder) {
    const std::vector<double> v = {3, 9, 3, 1, 9, 3};
    EXPECT_EQ(sorted(v, -1), (std::vector<vDSP_Length>{1, 4, 0, 2, 5, 3}));
    EXPECT_EQ(sorted(v, 1), (std::vector<vDSP_Length>{3, 0, 2, 5, 1, 4}));
}

TEST(Sort, NanCountsLowest) {
    const std::vector<double> v = {NAN, 2, -INFINITY, NAN, 5};
    EXPECT_EQ(sorted(v, -1), (std::vector<vDSP_Length>{4, 1, 2, 0, 3}));
    EXPECT_EQ(sorted(v, 1), (std::vector<vDSP_Length>{0, 3, 2, 1, 4}));
}

TEST(Sort, LargeInputIsAPermutationInOrder) {
    std::vector<double> v(1000);
    for (size_t i = 0; i < v.size(); i++) v[i] = double((i * 37) % 101);  // many ties
    std::vector<vDSP_Length> idx = sorted(v, -1);
    std::vector<int> seen(v.size(), 0);
    for (size_t k = 0; k < idx.size(); k++) {
        seen[idx[k]]++;
        if (k > 0) {
            ASSERT_GE(v[idx[k - 1]], v[idx[k]]);
            if (v[idx[k - 1]] == v[idx[k]]) {
                ASSERT_LT(idx[k - 1], idx[k]);
            }
        }
    }
    for (int s : seen) EXPECT_EQ(s, 1);
    EXPECT_EQ(v[0], 0.0);  // values unchanged
}

TEST(Sort, EmptyAndSingle) {
    EXPECT_TRUE(sorted({}, -1).empty());
    EXPECT_EQ(sorted({4}, -1), (std::vector<vDSP_Length>{0}));
}
