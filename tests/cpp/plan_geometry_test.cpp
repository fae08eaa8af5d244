// Numbers of the survey plan that need no interpreter.
#include "plan_geometry.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <vector>

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

using namespace vexa::plots;

TEST(RecommendedScale, NotANumberIsAnError) {
    EXPECT_THROW(recommended_scale(NAN, 10, 190, 250), std::domain_error);
    EXPECT_THROW(recommended_scale(INFINITY, 10, 190, 250), std::domain_error);
}

TEST(ScaleBarStep, NiceStepsTiesAndHundreds) {
    const double scales[] = {250, 500, 1000, 1500, 2000, 2500, 5000, 7500, 10000, 20000, 25000, 3000, 1200, 30000};
    const long long steps[] = {2, 5, 10, 20, 25, 25, 50, 100, 100, 200, 300, 25, 10, 400};
    for (size_t i = 0; i < std::size(scales); ++i) EXPECT_EQ(scale_bar_step(scales[i]), steps[i]) << scales[i];
}

TEST(ScaleBarLayout, PlacedFromTheView) {
    const ScaleBarLayout bar = scale_bar_layout(1000, 0, 1000, 0, 500);
    EXPECT_EQ(bar.step, 10);
    EXPECT_DOUBLE_EQ(bar.end_x, 950);
    EXPECT_DOUBLE_EQ(bar.start_x, 910);
    EXPECT_DOUBLE_EQ(bar.start_y, 10);
    EXPECT_DOUBLE_EQ(bar.bar_height, 7.5);
    EXPECT_DOUBLE_EQ(bar.tick_h, 3.75);
    EXPECT_NEAR(bar.label_y, 22, 1e-12);
    EXPECT_DOUBLE_EQ(bar.unit_x, 960);
}

TEST(PlanFontsize, ByScale) {
    EXPECT_EQ(plan_fontsize(1999), 10);
    EXPECT_EQ(plan_fontsize(2000), 9);
    EXPECT_EQ(plan_fontsize(4999), 9);
    EXPECT_EQ(plan_fontsize(5000), 8);
}

TEST(LabelDirection, BisectorAndOppositeNeighbours) {
    auto d = label_direction({0, 0}, {0, 40}, {40, 0});
    ASSERT_TRUE(d);
    EXPECT_NEAR(d->x, std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(d->y, std::sqrt(0.5), 1e-12);
    auto straight = label_direction({20, 0}, {0, 0}, {40, 0});
    ASSERT_TRUE(straight);
    EXPECT_NEAR(straight->x, 0, 1e-12);
    EXPECT_NEAR(straight->y, 1, 1e-12);  // the left normal of the way to the next beacon
    EXPECT_FALSE(label_direction({1, 1}, {1, 1}, {5, 5}));
    EXPECT_DOUBLE_EQ(label_offset_m(500, 2), 4.5);
    EXPECT_DOUBLE_EQ(label_offset_m(500, 10), 9.0);
}

TEST(UprightLabel, NeverUpsideDown) {
    EXPECT_DOUBLE_EQ(upright_label_angle({-1, -1}), 45);
    EXPECT_DOUBLE_EQ(upright_label_angle({0, -1}), -90);
    EXPECT_DOUBLE_EQ(upright_label_angle({0, 1}), 90);
}

TEST(EdgeLayout, WestboundEdgeIsTurnedSouthboundIsNot) {
    const EdgeLayout west = edge_layout({40, 40}, {0, 40}, {20, 20}, 1000);
    EXPECT_TRUE(west.is_reversed);
    EXPECT_DOUBLE_EQ(std::fmod(west.line_angle, 360), 0);
    EXPECT_DOUBLE_EQ(west.perp.y, 1);  // away from the centroid
    EXPECT_DOUBLE_EQ(west.distance_pos.y, 38);
    EXPECT_DOUBLE_EQ(west.quarter_pos.x, 30);
    EXPECT_DOUBLE_EQ(west.quarter_pos.y, 42);
    const EdgeLayout south = edge_layout({0, 40}, {0, 0}, {20, 20}, 1000);
    EXPECT_FALSE(south.is_reversed);
    EXPECT_DOUBLE_EQ(south.line_angle, -90);
    EXPECT_FALSE(edge_layout({0, 0}, {15, 0}, {7, 20}, 1000).annotate);  // 15 paper mm exactly
    EXPECT_TRUE(edge_layout({0, 0}, {15.01, 0}, {7, 20}, 1000).annotate);
}

// The scale chooser of a plan on 190 mm x 160 mm paper, remembering the extents it was asked for.
struct AskedScale {
    std::vector<Vec> asked;
    long long operator()(double width_m, double height_m) {
        asked.push_back({width_m, height_m});
        return recommended_scale(width_m, height_m, 190, 160);
    }
};

TEST(ChooseView, ParcelHeldAtTheFittedScaleKeepsIt) {
    const Bounds square{0, 0, 40, 40};
    const Vec survey = survey_extent(square, 15);
    EXPECT_DOUBLE_EQ(survey.x, 70);
    EXPECT_DOUBLE_EQ(survey.y, 70);
    AskedScale chooser;
    const PlanView plan = choose_view(square, {20, 20}, 15, 190, 160, 500, std::ref(chooser));
    EXPECT_TRUE(chooser.asked.empty());
    EXPECT_EQ(plan.scale, 500);
    EXPECT_DOUBLE_EQ(plan.view.minx, -27.5);  // 95 m x 80 m of ground at 1:500
    EXPECT_DOUBLE_EQ(plan.view.maxx, 67.5);
    EXPECT_DOUBLE_EQ(plan.view.miny, -20);
    EXPECT_DOUBLE_EQ(plan.view.maxy, 60);
    // Centred on the centroid, not on the middle of the bounds, as long as the view holds them.
    const PlanView off_middle = choose_view(square, {18, 23}, 15, 190, 160, 500, std::ref(chooser));
    EXPECT_TRUE(chooser.asked.empty());
    EXPECT_DOUBLE_EQ((off_middle.view.minx + off_middle.view.maxx) / 2, 18);
    EXPECT_DOUBLE_EQ((off_middle.view.miny + off_middle.view.maxy) / 2, 23);
}

TEST(ChooseView, LopsidedParcelIsAskedForTheCentredViewThatHoldsIt) {
    // A right triangle's centroid sits a third of the way in: the 190 m view of 1:1000 centred
    // there ends at x = 147, short of the east corner (156) and its margin.
    const Bounds triangle{0, 0, 156, 100};
    const Vec centroid{52, 100.0 / 3};
    const Vec survey = survey_extent(triangle, 15);
    const long long fitted = recommended_scale(survey.x, survey.y, 190, 160);
    ASSERT_EQ(fitted, 1000);
    AskedScale chooser;
    const PlanView plan = choose_view(triangle, centroid, 15, 190, 160, fitted, std::ref(chooser));
    ASSERT_EQ(chooser.asked.size(), 1u);
    EXPECT_DOUBLE_EQ(chooser.asked[0].x, 2 * (156 - 52 + 15));  // the farther side, both ways, with its margin
    EXPECT_DOUBLE_EQ(chooser.asked[0].y, 2 * (100 - 100.0 / 3 + 15));
    EXPECT_EQ(plan.scale, 1500);
    EXPECT_DOUBLE_EQ(plan.view.maxx - plan.view.minx, 285);
    EXPECT_DOUBLE_EQ(plan.view.maxy - plan.view.miny, 240);
    EXPECT_DOUBLE_EQ((plan.view.minx + plan.view.maxx) / 2, centroid.x);
    EXPECT_DOUBLE_EQ((plan.view.miny + plan.view.maxy) / 2, centroid.y);
    EXPECT_TRUE(plan.view.minx <= -15 && plan.view.maxx >= 171 && plan.view.miny <= -15 && plan.view.maxy >= 115);
    // What the chooser throws (a Python error, in the module) goes on unchanged.
    auto refusing = [](double, double) -> long long { throw std::domain_error("no scale"); };
    EXPECT_THROW(choose_view(triangle, centroid, 15, 190, 160, fitted, refusing), std::domain_error);
}
