// Numbers of the survey plan that need no interpreter.
#include "plan_geometry.hpp"

#include <gtest/gtest.h>

using vexa::plots::recommended_scale;

TEST(RecommendedScale, StandardScalesAndFallback) {
    EXPECT_EQ(recommended_scale(0, 5, 190, 250), 1000);
    EXPECT_EQ(recommended_scale(5, -1, 190, 250), 1000);
    EXPECT_EQ(recommended_scale(100, 100, 190, 250), 1000);
    EXPECT_EQ(recommended_scale(1, 1, 190, 250), 250);
    EXPECT_EQ(recommended_scale(10, 245, 190, 250), 1000);  // equality qualifies
    EXPECT_EQ(recommended_scale(186.2, 10, 190, 250), 1500);  // double rounding, in the given order
    EXPECT_EQ(recommended_scale(300, 200, 190, 160), 2000);
    EXPECT_EQ(recommended_scale(4655, 10, 190, 250), 25000);
    EXPECT_EQ(recommended_scale(4655.1, 10, 190, 250), 26000);
    EXPECT_EQ(recommended_scale(5000, 10, 190, 250), 27000);
    EXPECT_EQ(recommended_scale(6000, 1, 190, 250), 33000);
}
