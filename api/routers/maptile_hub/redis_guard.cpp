// redis_guard.cpp: the circuit breakers around Redis, kept beside their guarded objects, and
// redis_breaker_state().
#include "redis_guard.hpp"

#include "module_state.hpp"

#include <cstdio>

namespace vexa::maptile {

namespace {

using tiles::CircuitBreaker;

double now() { return steady_seconds(); }

const CircuitBreaker* find_breaker(handle owner) {
    auto& breakers = state().breakers;
    auto found = breakers.find(owner.ptr());
    return found == breakers.end() ? nullptr : found->second.breaker.get();
}

std::shared_ptr<CircuitBreaker> breaker_of(handle owner) {
    auto& breakers = state().breakers;
    auto found = breakers.find(owner.ptr());
    if (found != breakers.end()) return found->second.breaker;
    PyObject* key = owner.ptr();
    object forget = nb::cpp_function([key](handle) { state().breakers.erase(key); });
    PyObject* ref = PyWeakref_NewRef(owner.ptr(), forget.ptr());
    object keeper;
    if (ref) {
        keeper = nb::steal(ref);
    } else {
        PyErr_Clear();  // not weakly referenceable: keep the object itself
        keeper = nb::borrow(owner);
    }
    auto breaker = std::make_shared<CircuitBreaker>();
    breakers.emplace(key, BreakerEntry{breaker, keeper});
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

LuaScript lua_script(const char* source) {
    object digest = nb::module_::import_("hashlib").attr("sha1")(pystr(source).attr("encode")("utf-8"));
    return {pystr(source), digest.attr("hexdigest")()};
}

Coro run_script(object client, LuaScript script, nb::tuple keys, nb::tuple arguments) {
    auto run = [&](const char* command, handle name) {
        object call = steal(PySequence_Concat(nb::make_tuple(name, nb::len(keys)).ptr(), keys.ptr()));
        call = steal(PySequence_Concat(call.ptr(), arguments.ptr()));
        return steal(PyObject_Call(client.attr(command).ptr(), call.ptr(), nullptr));
    };
    Held answer;
    try {
        object running = run("evalsha", script.sha);
        answer = co_await std::move(running);
    } catch (nb::python_error& e) {
        if (!e.matches(nb::module_::import_("redis.exceptions").attr("NoScriptError"))) throw;
    }
    if (!answer.is_valid()) {  // the server does not know the script yet
        object running = run("eval", script.text);
        answer = co_await std::move(running);
    }
    co_return answer;
}

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
    auto state_of_client = [](Args&) -> object { return pystr(redis_breaker_state_of(bound::redis_client())); };
    define({.name = "redis_breaker_state",
            .doc = "State of the circuit breaker around the current redis_client: \"closed\", \"open\" or "
                   "\"half_open\".",
            .return_annotation = nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)),
            .sync_body = state_of_client});
}

}  // namespace vexa::maptile
