// redis_guard.cpp: the circuit breakers around Redis, kept beside their guarded objects, and
// redis_breaker_state().
#include "redis_guard.hpp"

#include "guarded.hpp"
#include "per_object.hpp"
#include "core/circuit_breaker.hpp"
#include "startup.hpp"

#include <cstdio>
#include <memory>

namespace vexa::maptile {

namespace {

/// What the guard keeps: the circuit breakers by their guarded object, and when Redis last
/// answered any of the module's calls, in steady_seconds().
struct GuardState {
    PerObject<std::shared_ptr<tiles::CircuitBreaker>> breakers;
    double last_redis_answer = 0;
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

bool redis_unavailable(const nb::python_error& error) {
    if (error.matches(PyExc_OSError)) return true;  // TimeoutError (asyncio's too), refused connections
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

void RedisCall::failed(const nb::python_error& error) {
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
