// The front end's own small parts: component lists and the progress line.
#include "decompose/decompose.hpp"
#include "cli/component_list.hpp"
#include "cli/progress.hpp"

#include <gtest/gtest.h>

using korvane::parseComponentList;
using korvane::ProgressBar;

TEST(DecomposeParts, ComponentListsTakeNumbersAndRanges) {
    std::vector<int> v;
    std::string err;
    ASSERT_TRUE(parseComponentList("3,1", 4, v, err)) << err;
    EXPECT_EQ(v, (std::vector<int>{1, 3}));
    ASSERT_TRUE(parseComponentList("2-4,3", 4, v, err)) << err;
    EXPECT_EQ(v, (std::vector<int>{2, 3, 4}));

    // a range from high to low is refused rather than guessed at
    for (const char *bad : {"", "0", "5", "1,", "a", "1-5", "2.5", "1;2", "4-2", "1,2-1"}) {
        EXPECT_FALSE(parseComponentList(bad, 4, v, err)) << bad;
        EXPECT_FALSE(err.empty()) << bad;
    }
}

TEST(DecomposeParts, ProgressLineShowsCountBarAndElapsedTime) {
    EXPECT_EQ(ProgressBar::render("factorising", 50, 100, 75.9, 10),
              "factorising     [#####.....] 50/100  1:15");
    EXPECT_EQ(ProgressBar::render("resynthesising", 0, 3, 0, 6),
              "resynthesising  [......] 0/3  0:00");
    // counts outside 0..total are drawn at the ends
    EXPECT_EQ(ProgressBar::render("x", 7, 3, 0, 3), "x               [###] 3/3  0:00");
}
