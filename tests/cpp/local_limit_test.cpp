// The in-process rate limit that stands in while Redis is out of reach.
#include "local_limit.hpp"

#include <gtest/gtest.h>

using vexa::tiles::LocalWindows;

TEST(LocalWindows, TheRequestPastTheLimitIsRefusedUntilTheWindowEnds) {
    LocalWindows windows;
    for (int i = 0; i < 40; ++i) EXPECT_TRUE(windows.admit("10.0.0.1", 100.0 + i * 0.01, 40)) << i;
    EXPECT_FALSE(windows.admit("10.0.0.1", 100.5, 40));
    EXPECT_FALSE(windows.admit("10.0.0.1", 100.99, 40));
    EXPECT_TRUE(windows.admit("10.0.0.2", 100.99, 40));  // each key its own window
    EXPECT_TRUE(windows.admit("10.0.0.1", 101.0, 40));   // a new window one second after the first request
}

TEST(LocalWindows, AFloodOfKeysDoesNotGrowTheTableWithoutEnd) {
    LocalWindows windows(100);
    for (int i = 0; i < 1000; ++i) windows.admit("k" + std::to_string(i), 5.0, 40);
    EXPECT_LE(windows.size(), 100u);
    // Ended windows go first: a live one survives a sweep.
    LocalWindows small(3);
    small.admit("old1", 1.0, 40);
    small.admit("old2", 1.0, 40);
    small.admit("live", 2.5, 40);
    small.admit("new", 2.6, 40);  // full: the two ended windows are dropped
    EXPECT_EQ(small.size(), 2u);
    EXPECT_TRUE(small.admit("live", 2.7, 2));
    EXPECT_FALSE(small.admit("live", 2.8, 2));  // its count was kept
}
