// guards.hpp: the checks in front of the endpoints: a known layer, a valid tile address, a box's
// area in square degrees.
#pragma once

#include "hub.hpp"
#include "core/tile_rules.hpp"

namespace vexa::maptile {

/// Raise the 404 "Layer '<name>' not found" unless `layer_name` is a layer of LAYER_CONFIG.
void require_layer(handle layer_name);

/// The catalogue's entry of `layer_name`, its identifiers bare; the same 404 when it has none.
const tiles::LayerDef& catalogued(handle layer_name);

namespace bound {
object validate_tile_coords();
object calculate_bbox_area_degrees();
}  // namespace bound


}  // namespace vexa::maptile
