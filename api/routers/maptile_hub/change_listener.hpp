// change_listener.hpp: listen_for_tile_changes, the cache kept in step with the layer tables'
// edits (change_listener.cpp).
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

namespace bound {
/// How long the change log keeps a change, in seconds (VEXA_CHANGE_RETENTION_S, one day unless
/// set); the listener keeps at least the longest cache lifetime.
object CHANGE_RETENTION_S();
}  // namespace bound

/// Start-up: CHANGE_RETENTION_S and listen_for_tile_changes.
void define_change_listener();

}  // namespace vexa::maptile
