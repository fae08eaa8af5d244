// redis_guard.cpp: the circuit breakers around Redis, kept beside their guarded objects, the
// pool's shortage of connections told apart from Redis failing, and
// redis_breaker_state().
#include "redis_guard.hpp"

#include "guarded.hpp"
#include "per_object.hpp"
#include "core/circuit_breaker.hpp"
#include "startup.hpp"

#include <cstdio>
#include <memory>
#include <unordered_map>

namespace vexa::maptile {

namespace {

/// Calls of one guarded use that found the pool without a free connection since its last line.
struct PoolShortage {
    double logged_at = 0;  // steady_seconds() of the last line; 0 before the first
    long long unlogged = 0;
};

/// What the guard keeps: the circuit breakers by their guarded object, when Redis last
/// answered any of the module's calls, in steady_seconds(), and the pool's shortages by use.
struct GuardState {
    PerObject<std::shared_ptr<tiles::CircuitBreaker>> breakers;
    double last_redis_answer = 0;
    std::unordered_map<std::string, PoolShortage> pool_shortages;
};

GuardState& state() { return kept<GuardState>(); }

}  // namespace

namespace {

using tiles::CircuitBreaker;

double now() { return steady_seconds(); }

const CircuitBreaker* find_breaker(handle owner) {
    const auto* found = state().breakers.find(owner);
    return found ? found->get() : nullptr;
}

std::shared_ptr<CircuitBreaker> breaker_of(handle owner) {
    std::shared_ptr<CircuitBreaker>& breaker = state().breakers.of(owner);
    if (!breaker) breaker = std::make_shared<CircuitBreaker>();
    return breaker;
}

std::string seconds(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

}  // namespace

bool redis_pool_exhausted(const nb::python_error& error) {
    object exceptions = nb::module_::import_("redis.exceptions");
    if (nb::hasattr(exceptions, "MaxConnectionsError") && error.matches(exceptions.attr("MaxConnectionsError")))
        return true;
    // Older clients raise a plain ConnectionError for both; its text tells them apart.
    if (!error.matches(exceptions.attr("ConnectionError"))) return false;
    const std::string message = text(error.value());
    return message == "No connection available." || message == "Too many connections";
}

bool redis_unavailable(const nb::python_error& error) {
    if (error.matches(PyExc_OSError)) return true;  // TimeoutError (asyncio's too), refused connections
    if (redis_pool_exhausted(error)) return false;
    object exceptions = nb::module_::import_("redis.exceptions");
    return error.matches(exceptions.attr("ConnectionError")) || error.matches(exceptions.attr("TimeoutError"));
}

std::string redis_breaker_state_of(handle owner) {
    const CircuitBreaker* breaker = find_breaker(owner);
    return tiles::state_name(breaker ? breaker->state(now()) : tiles::BreakerState::closed);
}

RedisCall::RedisCall(handle owner, std::string what, bool may_probe)
    : breaker_(breaker_of(owner)), how_(breaker_->admit(now(), may_probe)), what_(std::move(what)) {}

RedisCall::~RedisCall() {
    if (!settled_) breaker_->abandoned(how_);
}

double last_redis_answer() { return state().last_redis_answer; }

void note_redis_answer() { state().last_redis_answer = steady_seconds(); }

void RedisCall::succeeded() {
    settled_ = true;
    note_redis_answer();
    if (breaker_->succeeded(how_) == CircuitBreaker::Change::closed)
        log("info", "Circuit breaker closed for " + what_ + ": Redis answers again");
}

namespace {

/// One more call of `what` that the pool had no connection for: logged at most once every
/// POOL_EXHAUSTED_LOG_INTERVAL, with the calls since the last line, so a flood makes one line a
/// second rather than one a request.
void note_pool_exhausted(const std::string& what) {
    PoolShortage& shortage = state().pool_shortages[what];
    ++shortage.unlogged;
    const double at = now();
    if (shortage.logged_at != 0 && at - shortage.logged_at < POOL_EXHAUSTED_LOG_INTERVAL) return;
    log("warning", "Redis connection pool exhausted for " + what + ": " + std::to_string(shortage.unlogged) +
                       " call(s) since the last such line found every connection of this process's pool in use "
                       "(REDIS_MAX_CONNECTIONS) and went without Redis; its circuit breaker stays closed");
    shortage.logged_at = at;
    shortage.unlogged = 0;
}

}  // namespace

void RedisCall::note_pool_wait(handle owner) {
    started_ = now();
    object client = nb::hasattr(owner, "connection_pool") ? nb::borrow(owner) : nb::getattr(owner, "redis", nb::none());
    object pool = nb::getattr(client, "connection_pool", nb::none());
    // A client without such a pool (a test double, a host's own) is taken to have a free connection.
    if (pool.is_none() || !nb::hasattr(pool, "can_get_connection")) return;
    waits_for_pool_ = !truthy(pool.attr("can_get_connection")());
}

bool RedisCall::short_of_connections(const nb::python_error& error) const {
    if (redis_pool_exhausted(error)) return true;
    return waits_for_pool_ && error.matches(PyExc_TimeoutError) && last_redis_answer() > started_;
}

void RedisCall::failed(const nb::python_error& error) {
    if (short_of_connections(error)) {  // it waited for a connection: Redis neither answered nor failed it
        settled_ = true;
        breaker_->abandoned(how_);
        return note_pool_exhausted(what_);
    }
    if (!redis_unavailable(error)) return succeeded();  // Redis answered, with an error
    settled_ = true;
    switch (breaker_->failed(how_, now())) {
        case CircuitBreaker::Change::opened:
            log("warning", "Circuit breaker open for " + what_ + ": Redis is skipped for " +
                               seconds(breaker_->backoff()) + " s after " + described(error.value()));
            break;
        case CircuitBreaker::Change::reopened:
            log("debug", "Circuit breaker stays open for " + what_ + ": the probe failed (" + described(error.value()) +
                             "), next probe in " + seconds(breaker_->backoff()) + " s");
            break;
        default: break;
    }
}

void define_redis_guard() {
    auto state_of_client = [](Args&) -> object { return pystr(redis_breaker_state_of(bound::redis_client())); };
    define({.name = "redis_breaker_state",
            .doc = "State of the circuit breaker around the current redis_client: \"closed\", \"open\" or "
                   "\"half_open\".",
            .return_annotation = nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)),
            .sync_body = state_of_client});
}

}  // namespace vexa::maptile
