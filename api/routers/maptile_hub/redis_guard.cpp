// redis_guard.cpp: the circuit breakers around Redis, one per guarded object (the module's
// `redis_client` for the rate limit, its `cache` for the cache functions), kept beside the
// object for as long as it lives; and redis_breaker_state() for the health and metrics.
#include "module.hpp"

#include <chrono>
#include <cstdio>
#include <unordered_map>

namespace vexa::maptile {

double steady_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

namespace {

using tiles::CircuitBreaker;

double now() { return steady_seconds(); }

/// When Redis last answered a guarded call (any of them), in steady_seconds() time.
double last_answer = 0;

/// A breaker and what keeps its entry tied to the guarded object: a weak reference whose
/// callback drops the entry when the object goes, or, for an object that cannot be weakly
/// referenced, the object itself (so its address is never reused by another).
struct Entry {
    std::shared_ptr<CircuitBreaker> breaker;
    object keeper;
};

/// Deliberately never destroyed: its Python references must not be released after the
/// interpreter has finalised.
std::unordered_map<PyObject*, Entry>& breakers() {
    static auto* table = new std::unordered_map<PyObject*, Entry>();
    return *table;
}

const CircuitBreaker* find_breaker(handle owner) {
    auto found = breakers().find(owner.ptr());
    return found == breakers().end() ? nullptr : found->second.breaker.get();
}

std::shared_ptr<CircuitBreaker> breaker_of(handle owner) {
    auto found = breakers().find(owner.ptr());
    if (found != breakers().end()) return found->second.breaker;
    PyObject* key = owner.ptr();
    object forget = nb::cpp_function([key](handle) { breakers().erase(key); });
    PyObject* ref = PyWeakref_NewRef(owner.ptr(), forget.ptr());
    object keeper;
    if (ref) {
        keeper = nb::steal(ref);
    } else {
        PyErr_Clear();  // not weakly referenceable: keep the object itself
        keeper = nb::borrow(owner);
    }
    auto breaker = std::make_shared<CircuitBreaker>();
    breakers().emplace(key, Entry{breaker, keeper});
    return breaker;
}

std::string seconds(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

/// The error's type name, and its text when it has one: "TimeoutError", "ConnectionError: ...".
std::string described(const nb::python_error& error) {
    object value = nb::borrow(error.value());
    std::string name = text(value.type().attr("__name__")), message = text(value);
    return message.empty() ? name : name + ": " + message;
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

double last_redis_answer() { return last_answer; }

void note_redis_answer() { last_answer = steady_seconds(); }

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
                               seconds(breaker_->backoff()) + " s after " + described(error));
            break;
        case CircuitBreaker::Change::reopened:
            log("debug", "Circuit breaker stays open for " + what_ + ": the probe failed (" + described(error) +
                             "), next probe in " + seconds(breaker_->backoff()) + " s");
            break;
        default: break;
    }
}

void define_redis_guard() {
    auto state_of_client = [](Args&) -> object { return pystr(redis_breaker_state_of(ns["redis_client"])); };
    define({.name = "redis_breaker_state",
            .doc = "State of the circuit breaker around the current redis_client: \"closed\", \"open\" or "
                   "\"half_open\".",
            .return_annotation = nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)),
            .sync_body = state_of_client});
}

}  // namespace vexa::maptile
