// rate_limit.hpp: the per-client request counter in Redis over a fixed one-second window.
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

/// Longest wait for the rate limit's Redis round trips (INCR, EXPIRE, ...), in seconds: a
/// Redis that answers later counts as a failed check.
inline constexpr double RATE_LIMIT_TIMEOUT = 0.3;

/// How late the event loop may run a callback before it counts as busy, and the longest wait
/// for the rate limit's round trips while it is busy (the client's socket time-out), in seconds.
inline constexpr double LOOP_LAG_LIMIT = 0.1;
inline constexpr double RATE_LIMIT_BUSY_TIMEOUT = 5.0;

/// The request's client address, or "unknown" when it carries no client information.
std::string client_address(handle request);

/// Count a request in `rate_key`'s window; raise the 429 with `detail` (and Retry-After: 1)
/// above `limit` requests. Redis failures never block a request: they are logged as "Rate limit
/// check failed: ..." when `warn` is set, and the process counts the request itself while Redis
/// is skipped or fails, so the limit holds, per worker.
Coro enforce_rate_limit(std::string rate_key, long long limit, std::string detail, bool warn);

/// What counted_read read beside the count, when it could (`read`): the cached tile (None on a
/// miss) and, on a miss, its layer's generation (None when unknown, and on a hit).
struct CountedRead {
    bool read = false;
    Held tile;
    Held generation;
};

/// The rate count of a tile request and the cache read of its tile, in one round trip: when
/// the module's cache keeps its tiles on the module's client and both their breakers let Redis
/// be asked, fills `out` (`read` set), having raised the 429 as enforce_rate_limit does;
/// otherwise leaves `read` unset, for the caller to count and read one after the other. A
/// failure is handled as each of the two would handle it: logged, the breakers told, the
/// process counting instead, the read a miss.
Coro counted_read(std::string rate_key, long long limit, std::string detail, handle cache_key,
                  std::string generation_key, CountedRead& out);


}  // namespace vexa::maptile
