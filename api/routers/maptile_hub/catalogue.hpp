// catalogue.hpp: LAYER_CONFIG, the five layers as plain Python data, and get_zoom_config.
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

namespace bound {
object get_zoom_config();
}  // namespace bound

/// Start-up: LAYER_CONFIG.
void define_catalogue();
/// Start-up: get_zoom_config.
void define_zoom_config();

}  // namespace vexa::maptile
