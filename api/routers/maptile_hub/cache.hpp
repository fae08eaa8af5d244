// cache.hpp: BinaryRedisCache and the time-limited, failure-absorbing safe_cache_get and
// safe_cache_set over the module's `cache`.
#pragma once

#include "hub.hpp"

#include <functional>

namespace vexa::maptile {

/// Longest wait for a cache write, in seconds: the tile is ready, so a stalled write must not
/// hold its answer back.
inline constexpr double CACHE_SET_TIMEOUT = 1.0;

namespace bound {
object safe_cache_get();
object safe_cache_set();
}  // namespace bound

/// Await `call(owner)` for the module's `cache` object (the owner), under its circuit breaker
/// and `timeout`: the result, or None when the breaker skips Redis or the call fails, which is
/// logged as "Cache <verb> failed for <key>: <error>". Only a read may be the breaker's probe.
Coro through_cache(handle key, const char* verb, handle timeout, std::function<object(handle owner)> call);

/// Start-up: the class BinaryRedisCache.
void define_cache_class();
/// Start-up: safe_cache_get, safe_cache_set.
void define_cache_functions();

}  // namespace vexa::maptile
