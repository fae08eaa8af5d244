// guards.hpp: the checks in front of the endpoints: a known layer, a valid tile address, a box's
// area in square degrees.
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

/// Raise the 404 "Layer '<name>' not found" unless `layer_name` is a layer of LAYER_CONFIG.
void require_layer(handle layer_name);

namespace bound {
object validate_tile_coords();
object calculate_bbox_area_degrees();
}  // namespace bound

/// Start-up: validate_tile_coords, calculate_bbox_area_degrees.
void define_guards();

}  // namespace vexa::maptile
