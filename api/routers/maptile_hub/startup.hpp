// startup.hpp: what the module's start-up (module.cpp) calls, in the order it calls it: each
// concern defines its module attributes, each endpoint makes its operation, and the routes are
// registered in route order.
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

// Module attributes, each defined by the file of its concern.
/// Start-up: LAYER_CONFIG.
void define_catalogue();
/// Start-up: get_zoom_config.
void define_zoom_config();
/// Start-up: the class DatabaseTransaction and db_transaction.
void define_transaction();
/// Start-up: generate_mvt_sql.
void define_mvt_sql();
/// Start-up: redis_breaker_state.
void define_redis_guard();
/// Start-up: the workers and the schedulers.
void define_invalidation();
/// Start-up: the class BinaryRedisCache.
void define_cache_class();
/// Start-up: safe_cache_get, safe_cache_set.
void define_cache_functions();
/// Start-up: the write's script.
void define_freshness();
/// Start-up: the counted read's script.
void define_rate_limit();
/// Start-up: admit_cost, settle_cost.
void define_cost_budget();
/// Start-up: enter_database_work, leave_database_work.
void define_host_slots();
/// Start-up: CHANGE_RETENTION_S and listen_for_tile_changes.
void define_change_listener();
/// Start-up: validate_tile_coords, calculate_bbox_area_degrees.
void define_guards();
/// Start-up: how the versions watcher's task shows itself.
void define_versions_watcher();

// The operations of maptileHub, each made by the file of its endpoint.

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
