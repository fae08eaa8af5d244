// module.hpp: what the tile module's source files share: its namespace and each concern's
// definitions, in the order module start-up runs them.
#pragma once

#include "runtime.hpp"
#include "circuit_breaker.hpp"

#include <memory>

namespace vexa::maptile {

/// The module's namespace; every module-level name is read from it at call time.
inline Namespace ns;

/// Create a function object from `description` and bind it in the module namespace under its name.
object define(FunctionSpec description);

/// A layer record's "min_zoom", or 0 when it has none.
inline object min_zoom_of(handle config) { return config.attr("get")("min_zoom", 0); }

/// Log `message` through the module's `logger` at `level` ("info", "warning", ...).
void log(const char* level, const std::string& message);

/// Raise the framework's HTTPException(status_code=status, detail=detail); `context`, when
/// given, is the error being answered (its __context__, as a raise inside `except` sets it).
[[noreturn]] void raise_http(int status, const std::string& detail, handle context = handle());

/// The framework's Response with raw bytes and its media type for vector tiles.
object tile_response(handle content, handle headers);

/// The framework's empty 204 response.
object no_content();

/// Per-client rate limit over a fixed one-second window; raises the 429 with `detail` above
/// `limit` requests. Redis failures never block a request: they are logged as
/// "Rate limit check failed: ..." when `warn` is set, and ignored otherwise.
Coro enforce_rate_limit(std::string rate_key, long long limit, std::string detail, bool warn);

/// Longest wait for the rate limit's Redis round trips (INCR, EXPIRE, ...), in seconds: a
/// Redis that answers later counts as a failed check.
inline constexpr double RATE_LIMIT_TIMEOUT = 0.3;

/// How late the event loop may run a callback before it counts as busy, and the longest wait
/// for the rate limit's round trips while it is busy (the client's socket time-out), in seconds.
inline constexpr double LOOP_LAG_LIMIT = 0.1;
inline constexpr double RATE_LIMIT_BUSY_TIMEOUT = 5.0;

/// Longest wait for a cache write, in seconds: the tile is ready, so a stalled write must not
/// hold its answer back.
inline constexpr double CACHE_SET_TIMEOUT = 1.0;

/// Longest wait for a free connection of the Redis client's pool, in seconds.
inline constexpr double REDIS_POOL_TIMEOUT = 1.0;

/// Connections in the Redis client's pool when REDIS_MAX_CONNECTIONS is unset.
inline constexpr const char* DEFAULT_REDIS_MAX_CONNECTIONS = "128";

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

/// Monotonic seconds (steady clock).
double steady_seconds();
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

/// Inside db_transaction(db): execute `statement` (with `params` unless empty) under
/// asyncio.wait_for(..., timeout), and give `result.<fetch>()`. Errors propagate after the
/// transaction's rollback and close.
Coro timed_query(object db, object statement, object params, double timeout, const char* fetch);

/// The request's client address, or "unknown" when it carries no client information.
std::string client_address(handle request);

/// How one endpoint answers the failure of its query: a time-out is logged as `timeout_log`
/// and answered 408 `timeout_detail`; a database error, when `database_log` is set, is logged
/// as `database_log` + the error and answered 500 `database_detail`; any other ordinary error
/// is logged as `error_log` + the error and answered 500 `error_detail`. What is not an
/// ordinary error (a cancellation, GeneratorExit) goes on unchanged.
struct QueryFailure {
    std::string timeout_log, timeout_detail;
    std::string database_log = {}, database_detail = {};
    std::string error_log, error_detail;
};

/// Await `query` and give its result, its failure answered as `failure` says.
Coro answered(Coro query, QueryFailure failure);

// Start-up steps, each binding its names in the namespace.
void define_cache_class();      // BinaryRedisCache
void define_invalidation();     // the invalidation workers and schedulers
void define_catalogue();        // LAYER_CONFIG
void define_zoom_config();      // get_zoom_config
void define_mvt_sql();          // generate_mvt_sql
void define_transaction();      // db_transaction
void define_cache_functions();  // safe_cache_get, safe_cache_set
void define_guards();           // validate_tile_coords, calculate_bbox_area_degrees
void define_redis_guard();      // redis_breaker_state
void register_routes();         // the operations of maptileHub

// Route handlers, created by their own files and registered by register_routes().
object make_get_tile_xyz();
object make_get_tile_bbox();
object make_get_layer_zoom_info();
object make_get_central_tile_info();
object make_get_available_layers();
object make_health_check();
object make_invalidate_cache_endpoint();

}  // namespace vexa::maptile
