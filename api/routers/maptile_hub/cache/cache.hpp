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

/// A tile's cached bytes (or None), read through safe_cache_get(key) as bound now. With
/// `prefetched_tile` (what the rate count's round trip read) the module's own answers it
/// without asking Redis again; a replacement is called as it would be without it.
Coro read_tile(handle key, handle prefetched_tile);

/// Store a tile computed after `generation` was read for `layer`, through safe_cache_set(key,
/// value, ttl) as bound now. The module's own writes it only while the layer's generation is
/// still `generation` (and, when `indexed`, names it in the layer's bounding-box index), and
/// not at all when the generation is unknown (an empty `generation`); a replacement is called
/// with the three arguments alone and stores as it wants.
Coro store_tile(handle key, handle value, handle ttl, std::string layer, handle generation, bool indexed = false);


}  // namespace vexa::maptile
