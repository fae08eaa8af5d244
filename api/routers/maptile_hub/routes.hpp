// routes.hpp: the operations of maptileHub, each made by the file of its endpoint, and their
// registration in route order.
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

object make_get_tile_xyz();               // tile_xyz.cpp
object make_get_all_layers_tile();        // tile_xyz.cpp
object make_get_tilejson();               // tilejson.cpp
object make_get_all_layers_tilejson();    // tilejson.cpp
object make_tile_versions();              // tile_versions.cpp
object make_get_tile_bbox();              // tile_bbox.cpp
object make_get_layer_zoom_info();        // layer_info.cpp
object make_get_central_tile_info();      // layer_info.cpp
object make_get_available_layers();       // layer_info.cpp
object make_health_check();               // layer_info.cpp
object make_invalidate_cache_endpoint();  // invalidation.cpp

/// Start-up: the operations of maptileHub, the fixed paths "/layers/" and "/health/" before
/// "/{layer_name}/" so that they win.
void register_routes();

}  // namespace vexa::maptile
