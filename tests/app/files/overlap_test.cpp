// Reading ahead of the engine and writing behind it: the engine must get the
// very samples and failures it would get reading itself, in its order, and
// the files the very blocks in theirs, a failure ending the work.
#include "files/read_ahead.hpp"
#include "files/write_behind.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

namespace {

using korvane::ReadAhead;
using korvane::WriteBehind;

// A sound whose sample i of channel c is c * 1e6 + i, read by one caller at
// a time; ranges from failAt on fail.
struct FakeSound {
    explicit FakeSound(long n, long fail = -1) : length(n), failAt(fail) {}
    long length;
    long failAt;
    std::atomic<int> inside{0};
    bool overlapped = false;
    std::vector<std::pair<long, long>> asked;
    bool read(long start, long count, double *const *ch) {
        if (inside++ != 0) overlapped = true;
        asked.emplace_back(start, count);
        bool ok = start >= 0 && count >= 0 && start + count <= length &&
                  (failAt < 0 || start + count <= failAt);
        for (int c = 0; ok && c < 2; ++c)
            for (long i = 0; i < count; ++i) ch[c][i] = c * 1e6 + double(start + i);
        --inside;
        return ok;
    }
};

bool readAndCheck(ReadAhead &r, long start, long count) {
    std::vector<double> a(static_cast<size_t>(count) + 1, -1), b(a);
    double *ch[2] = {a.data(), b.data()};
    if (!r.read(start, count, ch)) return false;
    for (long i = 0; i < count; ++i)
        if (a[static_cast<size_t>(i)] != double(start + i) ||
            b[static_cast<size_t>(i)] != 1e6 + double(start + i))
            return false;
    return a[static_cast<size_t>(count)] == -1;  // nothing past the range
}

TEST(ReadAhead, GivesTheSamplesOfEveryRangeAskedInPassAfterPass) {
    FakeSound s(1000);
    {
        ReadAhead r([&](long a, long n, double *const *ch) { return s.read(a, n, ch); }, 2,
                    s.length);
        for (int pass = 0; pass < 2; ++pass) {
            SCOPED_TRACE("pass " + std::to_string(pass));
            // blocks of one size, a longer and a shorter one, and the cut end
            long at = 0;
            for (long n : {100L, 100L, 100L, 250L, 50L, 100L, 100L, 100L, 100L}) {
                ASSERT_TRUE(readAndCheck(r, at, n)) << "at " << at;
                at += n;
            }
            ASSERT_TRUE(readAndCheck(r, at, s.length - at));
        }
        // out of order, and back
        EXPECT_TRUE(readAndCheck(r, 500, 10));
        EXPECT_TRUE(readAndCheck(r, 20, 30));
        EXPECT_TRUE(readAndCheck(r, 50, 30));
        r.settle();
    }
    EXPECT_FALSE(s.overlapped);
    for (const auto &range : s.asked) EXPECT_LE(range.first + range.second, s.length);
}

TEST(ReadAhead, AFailureReachesTheCallerOnlyForARangeItAsks) {
    FakeSound s(1000, 300);
    ReadAhead r([&](long a, long n, double *const *ch) { return s.read(a, n, ch); }, 2, s.length);
    // 200 .. 300 is read ahead and fails, but it is not what is asked next
    EXPECT_TRUE(readAndCheck(r, 100, 100));
    EXPECT_TRUE(readAndCheck(r, 0, 150));
    EXPECT_TRUE(readAndCheck(r, 150, 150));
    // asked as read ahead: its failure is the caller's
    EXPECT_FALSE(readAndCheck(r, 300, 150));
    // and asked again, read again
    s.failAt = -1;
    EXPECT_TRUE(readAndCheck(r, 300, 150));
}

TEST(WriteBehind, DoesTheJobsInOrderAndStopsAtTheFirstFailure) {
    std::vector<int> done;
    std::string err;
    {
        WriteBehind w(2);
        for (int i = 0; i < 50; ++i)
            ASSERT_TRUE(w.add(
                [&done, i](std::string &) {
                    done.push_back(i);
                    return true;
                },
                err))
                << err;
        ASSERT_TRUE(w.finish(err)) << err;
    }
    ASSERT_EQ(done.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(done[static_cast<size_t>(i)], i);

    done.clear();
    WriteBehind w(3);
    bool refused = false;
    for (int i = 0; i < 200 && !refused; ++i)
        refused = !w.add(
            [&done, i](std::string &why) {
                done.push_back(i);
                if (i == 5) why = "disk full at 5";
                return i != 5;
            },
            err);
    EXPECT_FALSE(w.finish(err));
    EXPECT_EQ(err, "disk full at 5");
    // nothing after the failed job was done
    EXPECT_EQ(done.back(), 5);
}

}  // namespace
