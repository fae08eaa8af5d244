// redis_guard.hpp: the circuit breakers around Redis, one per guarded object (the module's
// `redis_client` for the rate limit, its `cache` for the cache functions), and
// redis_breaker_state() for the metrics.
#pragma once

#include "core/circuit_breaker.hpp"
#include "hub.hpp"

#include <memory>

namespace vexa::maptile {

/// Connections in the Redis client's pool when REDIS_MAX_CONNECTIONS is unset, and the longest
/// wait for a free one, in seconds.
inline constexpr const char* DEFAULT_REDIS_MAX_CONNECTIONS = "128";
inline constexpr double REDIS_POOL_TIMEOUT = 1.0;

/// One call to Redis through the circuit breaker of `owner`, the object it is made on (the
/// module's client for the rate limit, the cache object for the cache functions), so a
/// replaced object starts with a closed breaker. Ask skipped() first: a skipped call must not
/// touch Redis. Then report succeeded() or failed(); a call that ends with neither (it was
/// cancelled) gives up its probe. `what` names the guarded use in the breaker's log lines.
class RedisCall {
public:
    RedisCall(handle owner, std::string what, bool may_probe = true);
    ~RedisCall();
    RedisCall(const RedisCall&) = delete;
    RedisCall& operator=(const RedisCall&) = delete;

    bool skipped() const { return how_ == tiles::CircuitBreaker::Admission::skip; }
    void succeeded();
    /// Only an unavailable Redis (time-out, connection refused or lost, no free connection)
    /// counts against it; any other error means Redis answered.
    void failed(const nb::python_error& error);

private:
    std::shared_ptr<tiles::CircuitBreaker> breaker_;
    tiles::CircuitBreaker::Admission how_;
    std::string what_;
    bool settled_ = false;
};

/// When Redis last answered any of the module's calls (the cache's or the rate limit's), in
/// steady_seconds(); note_redis_answer() records an answer now. One Redis answering some calls
/// is alive, however long the others wait for a connection or to be read.
double last_redis_answer();
void note_redis_answer();

/// True for the errors of an unavailable Redis: OSError (TimeoutError included) and redis-py's
/// ConnectionError and TimeoutError.
bool redis_unavailable(const nb::python_error& error);

/// "closed", "open" or "half_open" for the breaker of `owner` ("closed" when it has none yet).
std::string redis_breaker_state_of(handle owner);


}  // namespace vexa::maptile
