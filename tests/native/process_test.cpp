// The shared process walk: callers content with a recent list share one walk a second, or fewer
// when they take an older one.
#include <gtest/gtest.h>

#include "foundation/process.h"

TEST(SharedProcessWalk, ReusesAListYoungerThanASecondAndWalksAfresh) {
    struct Ask {
        uint64_t atMs;
        bool fresh;
        int walksAfter;
        uint64_t maxAgeMs = kRecentProcessListMs;
    };
    const Ask asks[] = {
        {0, false, 1},     // nothing yet
        {999, false, 1},   // young enough
        {1000, false, 2},  // a second old: walked again
        {1500, true, 3},   // the present is asked for
        {2000, false, 3},  // the fresh list is shared too
        {2500, false, 4},
        {6000, false, 4, 5000},  // the application list takes one up to 5 s old
        {7500, false, 5, 5000},
    };
    uint64_t now = 0;
    int walks = 0;
    SharedProcessWalk shared;
    shared.nowMs = [&] { return now; };
    shared.walk = [&](ProcessList& list) {
        ++walks;
        list.assign(1, ProcessRecord{static_cast<uint32_t>(walks), 0, 0, "a.exe", ""});
        return true;
    };
    for (const Ask& ask : asks) {
        now = ask.atMs;
        const auto list = ask.fresh ? freshProcessList(shared) : recentProcessList(shared, ask.maxAgeMs);
        ASSERT_TRUE(list) << ask.atMs;
        EXPECT_EQ(walks, ask.walksAfter) << ask.atMs;
        EXPECT_EQ(list->front().pid, static_cast<uint32_t>(walks)) << ask.atMs;
    }

    shared.walk = [](ProcessList&) { return false; };
    now = 5000;
    EXPECT_FALSE(recentProcessList(shared));
}
