// redis_guard.hpp: the circuit breakers around Redis, one per guarded object (the module's
// `redis_client` for the rate limit, its `cache` for the cache functions), the pool's want of a
// free connection told apart from Redis failing, and redis_breaker_state() for the metrics.
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
    /// Only an unavailable Redis (time-out, connection refused or lost) counts against it; any
    /// other error means Redis answered. A pool with no free connection for the call
    /// (short_of_connections) is this process's saturation, not Redis's: the breaker is told
    /// nothing (a probe's turn passes to the next call), and it is logged once a second for
    /// `what` as a WARNING that names REDIS_MAX_CONNECTIONS. The caller does without Redis as
    /// it does while Redis is skipped, and leaves such an error out of its own log line.
    void failed(const nb::python_error& error);

    /// For a call under a fixed time limit (the cache's, no longer than the pool's own wait for
    /// a connection, REDIS_POOL_TIMEOUT): note whether the pool of `owner` (a client, or an
    /// object keeping one as `redis`) has no free connection as the call begins. Such a call
    /// that runs out of time (TimeoutError) while Redis answers other calls of the module has
    /// spent it waiting for a connection: the pool's shortage, not Redis's failure. While Redis
    /// answers nothing its time-out counts against Redis as any other.
    void note_pool_wait(handle owner);
    /// Whether `error` ended the call for want of a pooled connection: redis_pool_exhausted(),
    /// or the time-out of a call note_pool_wait() found waiting, while Redis answered others.
    bool short_of_connections(const nb::python_error& error) const;

private:
    std::shared_ptr<tiles::CircuitBreaker> breaker_;
    tiles::CircuitBreaker::Admission how_;
    std::string what_;
    bool settled_ = false;
    bool waits_for_pool_ = false;
    double started_ = 0;
};

/// When Redis last answered any of the module's calls (the cache's or the rate limit's), in
/// steady_seconds(); note_redis_answer() records an answer now. One Redis answering some calls
/// is alive, however long the others wait for a connection or to be read.
double last_redis_answer();
void note_redis_answer();

/// True for the errors of an unavailable Redis: OSError (TimeoutError included) and redis-py's
/// ConnectionError and TimeoutError, except those of redis_pool_exhausted.
bool redis_unavailable(const nb::python_error& error);

/// True for redis-py's errors of a client-side pool with no free connection, raised before
/// anything is sent: BlockingConnectionPool's ConnectionError "No connection available." once
/// its wait for one ran out, a plain ConnectionPool's MaxConnectionsError ("Too many
/// connections"). Every connection is out on a call of this process: Redis may answer them all.
bool redis_pool_exhausted(const nb::python_error& error);

/// How often, at most, a guarded use logs that the pool had no connection for it, in seconds.
inline constexpr double POOL_EXHAUSTED_LOG_INTERVAL = 1.0;

/// "closed", "open" or "half_open" for the breaker of `owner` ("closed" when it has none yet).
std::string redis_breaker_state_of(handle owner);


}  // namespace vexa::maptile
