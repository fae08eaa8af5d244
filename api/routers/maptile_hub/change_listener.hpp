// change_listener.hpp: listen_for_tile_changes, the cache kept in step with the layer tables'
// edits (change_listener.cpp).
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

/// Start-up: listen_for_tile_changes.
void define_change_listener();

}  // namespace vexa::maptile
