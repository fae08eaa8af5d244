// hub.hpp: the tile module's namespace, its objects as the module binds them at the moment of
// use, and logging. Every source file of the module starts from here.
#pragma once

#include "runtime.hpp"

#include <string>

namespace vexa::maptile {

/// The module's namespace: every module-level name is read from it at call time, so that
/// replacing a module attribute (a test's monkeypatch, a host's own client) takes effect on the
/// next call. Bound once, by the module's start-up.
Namespace& ns();

/// The module's objects and imports as bound now. Each reads the namespace at the call: keep
/// the result only for the length of one use.
namespace bound {
object logger();
object redis_client();
object cache();
object LAYER_CONFIG();
object MAX_FEATURES_GLOBAL();
object MAX_BBOX_AREA_WGS84();
object CACHE_TTL_SHORT();
object CACHE_TTL_LONG();
object DEFAULT_CENTROID_ZOOM();
object asyncio();
object json();
object text();
object Response();
object JSONResponse();
object HTTPException();
object SQLAlchemyError();
object api_response();
object api_router_response();
object latlon_to_xyz();
object xyz_to_bbox_web_mercator();
object get_zoom_config();
object generate_mvt_sql();
object _invalidate_layer_cache_task();
object _invalidate_all_cache_task();
object _invalidate_cache_by_pattern_task();
/// How long the change log keeps a change, in seconds (VEXA_CHANGE_RETENTION_S, one day unless
/// set); the listener keeps at least the longest cache lifetime.
object CHANGE_RETENTION_S();
}  // namespace bound

/// What a concern keeps between calls (its state, declared beside its code): one `T`, made on
/// first use and never destroyed, so that none of its Python references is released after the
/// interpreter has finalised.
template <class T>
T& kept() {
    static T* value = new T();
    return *value;
}

/// Create a function object from `description` and bind it in the module namespace under its name.
object define(FunctionSpec description);

/// Log `message` through the module's `logger` at `level` ("info", "warning", ...).
void log(const char* level, const std::string& message);

/// A layer record's "min_zoom", or 0 when it has none.
object min_zoom_of(handle config);

/// Monotonic seconds (steady clock).
double steady_seconds();

}  // namespace vexa::maptile
