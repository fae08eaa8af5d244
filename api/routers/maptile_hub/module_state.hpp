// module_state.hpp: everything the tile module keeps between calls, in one struct.
#pragma once

#include "admission.hpp"
#include "circuit_breaker.hpp"
#include "local_limit.hpp"
#include "per_object.hpp"
#include "redis_protocol.hpp"
#include "redis_guard.hpp"
#include "runtime.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace vexa::maptile {

/// One run of single_flight: the asyncio Future of its outcome, and when it succeeded.
struct Flight {
    object future;
    std::optional<std::chrono::steady_clock::time_point> done;
};

struct ModuleState {
    /// The module's namespace (its globals, read at call time).
    Namespace ns;
    /// Invalidation tasks started in the background, kept until they are done: asyncio keeps
    /// only weak references to tasks.
    object background_tasks;
    /// contextvars.ContextVar: how the last invalidation worker of the current context failed.
    object invalidation_failure;
    /// The class whose instances db_transaction() gives.
    object transaction_class;
    /// How the rate limit's counting task shows itself.
    CoroutineInfo counting_task;
    /// The bounding-box tiles' share of this worker's database work.
    WorkSlots bbox_work{"bounding-box tiles", "BBOX_QUERY_SLOTS", "BBOX_QUERY_WAIT_S"};
    /// The rate limit's own counts, used while its Redis is skipped or fails.
    tiles::LocalWindows local_windows;
    /// When Redis last answered any of the module's calls, in steady_seconds().
    double last_redis_answer = 0;
    /// The circuit breakers, by their guarded object.
    PerObject<std::shared_ptr<tiles::CircuitBreaker>> breakers;
    /// The runs of single_flight in progress or just finished, by event loop and key.
    std::unordered_map<std::string, Flight> flights;
    /// safe_cache_set, safe_cache_get and BinaryRedisCache as the module defines them: tiles are
    /// stored with their generation's check, and read together with their rate count, only
    /// while the module's own are in place.
    object own_safe_cache_set;
    object own_safe_cache_get;
    object own_cache_class;
    /// The Lua script that counts a tile request and reads its tile.
    LuaScript counted_read;
    /// The fields of each layer's vector layer in TileJSON (read once from the database).
    std::unordered_map<std::string, object> layer_fields;
    /// The versions watcher of /gis/tile-versions (on `watcher_loop`): the versions it read
    /// last, an asyncio.Event set when they change, its task, how its task shows itself, when a
    /// stream last wanted it, and the class of the streams.
    object watcher_loop;
    object versions;
    object versions_changed;
    object versions_watcher;
    CoroutineInfo versions_watcher_task;
    double versions_wanted_at = 0;
    object version_stream_class;
    /// The Lua scripts of BinaryRedisCache.set_if_current and of a version's publication.
    LuaScript set_if_current;
    LuaScript set_if_greater;
};

/// The module's state. Allocated once and never destroyed, so that none of its Python
/// references is released after the interpreter has finalised.
ModuleState& state();

}  // namespace vexa::maptile
