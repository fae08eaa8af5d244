// guarded.cpp: catching, logging and handing on the ordinary errors of a guarded call; the
// cancellations an awaited call lost.
#include "guarded.hpp"

namespace vexa::maptile {

namespace {

void handle_error(const nb::python_error& error, const OnError& on_error) {
    if (on_error.level && !(on_error.unlogged && on_error.unlogged(error)))
        log(on_error.level, on_error.message + text(error.value()));
    if (on_error.then) on_error.then(error);
}

}  // namespace

Coro guarded(Coro call, OnError on_error) {
    try {
        co_return co_await std::move(call);
    } catch (nb::python_error& e) {
        if (!is_exception(e)) throw;
        handle_error(e, on_error);
    }
    co_return nb::none();
}

object guarded(const std::function<object()>& call, const OnError& on_error) {
    try {
        return call();
    } catch (nb::python_error& e) {
        if (!is_exception(e)) throw;
        handle_error(e, on_error);
    }
    return nb::none();
}

std::string described(handle error) {
    const std::string name = text(nb::borrow(error).type().attr("__name__")), message = text(error);
    return message.empty() ? name : name + ": " + message;
}

void end_if_cancelled() {
    object task = bound::asyncio().attr("current_task")();
    if (!task.is_none() && nb::cast<long long>(task.attr("cancelling")()) > 0)
        raise(bound::asyncio().attr("CancelledError"), "a cancellation lost by an awaited call");
}

}  // namespace vexa::maptile
