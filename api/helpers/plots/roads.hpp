// roads.hpp: the road elements of a plan: lines as a broad translucent grey band, areas as a
// light grey surface with a thin outline; multi-parts and collections walked to any depth.
#pragma once

#include "runtime.hpp"

namespace vexa::plots {

/// Draw one clipped road geometry on `ax`; other geometry types (points, rings) leave no mark.
void plot_road_element(handle ax, handle geom);

}  // namespace vexa::plots
