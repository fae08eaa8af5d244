// cache.hpp: BinaryRedisCache and the time-limited, failure-absorbing safe_cache_get and
// safe_cache_set over the module's `cache`.
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

/// Longest wait for a cache write, in seconds: the tile is ready, so a stalled write must not
/// hold its answer back.
inline constexpr double CACHE_SET_TIMEOUT = 1.0;

namespace bound {
object safe_cache_get();
object safe_cache_set();
}  // namespace bound

/// Start-up: the class BinaryRedisCache.
void define_cache_class();
/// Start-up: safe_cache_get, safe_cache_set.
void define_cache_functions();

}  // namespace vexa::maptile
