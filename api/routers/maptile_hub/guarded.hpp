// guarded.hpp: the one place where an ordinary error of a call is caught, logged and handed on,
// for the calls whose failure must not fail the request (the cache, the rate limit, ...).
#pragma once

#include "hub.hpp"

#include <functional>

namespace vexa::maptile {

/// What a guarded call does with an ordinary error (Exception): log it at `level` as
/// `message` + the error's text (nothing is logged when `level` is null, or for an error that
/// `unlogged` picks, which `then` reports in its own way), then call `then` (which may record
/// it, or raise the error the caller answers with).
struct OnError {
    const char* level = nullptr;
    std::string message = {};
    std::function<void(const nb::python_error&)> then = {};
    std::function<bool(const nb::python_error&)> unlogged = {};
};

/// Await `call` and give its result; after an ordinary error, handled as `on_error` says, give
/// None. What is not an ordinary error (a cancellation, GeneratorExit) goes on unchanged.
Coro guarded(Coro call, OnError on_error);

/// The same for a plain call.
object guarded(const std::function<object()>& call, const OnError& on_error);

/// "TypeName: text" of an exception (only the name when its text is empty), for log lines:
/// "TimeoutError", "ConnectionError: ...".
std::string described(handle error);

/// Raise CancelledError when the running task has a cancellation still pending. A library can
/// lose a cancellation: redis-py's asyncio client, cancelled as its answer arrives, gives the
/// answer and the caller goes on, while the task still counts the request (Task.cancelling()).
/// A loop that runs until it is cancelled asks this at each turn, and ends as it would have.
void end_if_cancelled();

}  // namespace vexa::maptile
