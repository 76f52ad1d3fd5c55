// The shared process walk: callers content with a recent list share one walk a second.
#include <gtest/gtest.h>

#include "foundation/process.h"

TEST(SharedProcessWalk, ReusesAListYoungerThanASecondAndWalksAfresh) {
    struct Ask {
        uint64_t atMs;
        bool fresh;
        int walksAfter;
    };
    const Ask asks[] = {
        {0, false, 1},     // nothing yet
        {999, false, 1},   // young enough
        {1000, false, 2},  // a second old: walked again
        {1500, true, 3},   // the present is asked for
        {2000, false, 3},  // the fresh list is shared too
        {2500, false, 4},
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
        const auto list = ask.fresh ? freshProcessList(shared) : recentProcessList(shared);
        ASSERT_TRUE(list) << ask.atMs;
        EXPECT_EQ(walks, ask.walksAfter) << ask.atMs;
        EXPECT_EQ(list->front().pid, static_cast<uint32_t>(walks)) << ask.atMs;
    }

    shared.walk = [](ProcessList&) { return false; };
    now = 5000;
    EXPECT_FALSE(recentProcessList(shared));
}
