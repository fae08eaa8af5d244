// rate_limit.cpp: the per-client request counter in Redis, a fixed one-second window.
#include "module.hpp"

namespace vexa::maptile {

std::string client_address(handle request) {
    if (request.is_none()) return "unknown";
    object client = request.attr("client");
    return client.is_none() ? "unknown" : text(client.attr("host"));
}

namespace {

/// Count the request in its window; raise the 429 with `detail` above `limit`.
Coro count_request(Args& a) {
    handle client = a["client"], key = a["key"];
    const long long limit = nb::cast<long long>(a["limit"]);
    long long request_count = nb::cast<long long>(co_await client.attr("incr")(key));
    note_redis_answer();
    if (request_count == 1) co_await client.attr("expire")(key, 1);
    if (request_count > limit) {
        // A counter whose EXPIRE was lost (the process died between the two commands, or
        // EXPIRE failed) never expires and would refuse this address for ever. Before
        // refusing, make sure the window is live; a counter without one starts afresh.
        long long ttl = nb::cast<long long>(co_await client.attr("ttl")(key));
        if (ttl >= 0) raise_http(429, text(a["detail"]));
        co_await client.attr("set")(key, 1, nb::arg("ex") = 1);
    }
    co_return nb::none();
}

/// count_request as a coroutine function of its own: the time limit below runs it as a task.
/// Made once and kept for the life of the process, like the module.
handle counter() {
    static PyObject* function =
        make_function(ns, {.name = "count_request",
                           .params = {{"client"}, {"key"}, {"limit"}, {"detail"}},
                           .async_body = count_request})
            .release()
            .ptr();
    return function;
}

/// Await `counting` for RATE_LIMIT_TIMEOUT seconds, and raise TimeoutError (cancelling it) when
/// it has not finished. Unless the delay is the process's own: while Redis answers other calls
/// (checks, cache reads and writes) during each further slice of RATE_LIMIT_TIMEOUT (a flood of
/// cache hits may hold every pooled connection), or the loop runs a callback scheduled at the
/// slice's start more than LOOP_LAG_LIMIT late (a flood keeps it busy), the answer is most
/// likely waiting unread, and the wait goes on, up to RATE_LIMIT_BUSY_TIMEOUT in all, rather
/// than take a healthy Redis for a failing one and let the flood through. A Redis that stops
/// answering everyone fails the check one slice later.
Coro within_time_limit(object counting) {
    object asyncio = ns["asyncio"];
    object loop = asyncio.attr("get_running_loop")();
    object task = asyncio.attr("ensure_future")(counting);
    nb::set waiting;
    waiting.add(task);
    const double started = steady_seconds();
    try {
        for (;;) {
            const double slice = steady_seconds();
            auto ran_at = std::make_shared<double>(-1);
            loop.attr("call_soon")(nb::cpp_function([ran_at] { *ran_at = steady_seconds(); }));
            co_await asyncio.attr("wait")(waiting, nb::arg("timeout") = RATE_LIMIT_TIMEOUT);
            if (truthy(task.attr("done")())) break;
            const double lag = (*ran_at < 0 ? steady_seconds() : *ran_at) - slice;
            const bool process_is_late = last_redis_answer() > slice || lag > LOOP_LAG_LIMIT;
            if (!process_is_late || steady_seconds() - started + RATE_LIMIT_TIMEOUT > RATE_LIMIT_BUSY_TIMEOUT) break;
        }
    } catch (...) {
        task.attr("cancel")();
        throw;
    }
    if (!truthy(task.attr("done")())) {
        task.attr("cancel")();
        // It may still end with its own outcome (a 429) before the cancellation lands.
        task.attr("add_done_callback")(nb::cpp_function([](handle ended) {
            if (!truthy(ended.attr("cancelled")())) ended.attr("exception")();
        }));
        raise(PyExc_TimeoutError, "");
    }
    co_return task.attr("result")();
}

}  // namespace

Coro enforce_rate_limit(std::string rate_key, long long limit, std::string detail, bool warn) {
    object client = ns["redis_client"];
    RedisCall call(client, "the rate limit");
    if (call.skipped()) co_return nb::none();
    try {
        object counting = counter()(client, pystr(rate_key), limit, pystr(detail));
        co_await within_time_limit(counting);
        call.succeeded();
    } catch (nb::python_error& e) {
        if (!is_exception(e)) throw;
        if (e.matches(ns["HTTPException"])) {
            call.succeeded();
            throw;
        }
        if (warn) log("warning", "Rate limit check failed: " + text(e.value()));
        call.failed(e);
    }
    co_return nb::none();
}

}  // namespace vexa::maptile
