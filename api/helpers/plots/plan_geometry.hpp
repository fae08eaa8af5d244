// plan_geometry.hpp: the survey plan's numbers that need no interpreter: scale choice,
// scale bar steps and the placement of beacon labels and edge texts.
#pragma once

namespace vexa::plots {

/// Denominator of the largest standard scale at which the extent fits 98 % of the paper.
long long recommended_scale(double width_m, double height_m, double paper_w_mm, double paper_h_mm);

}  // namespace vexa::plots
