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
Coro count_request(object client, nb::str key, long long limit, std::string detail) {
    long long request_count = nb::cast<long long>(co_await client.attr("incr")(key));
    if (request_count == 1) co_await client.attr("expire")(key, 1);
    if (request_count > limit) {
        // A counter whose EXPIRE was lost (the process died between the two commands, or
        // EXPIRE failed) never expires and would refuse this address for ever. Before
        // refusing, make sure the window is live; a counter without one starts afresh.
        long long ttl = nb::cast<long long>(co_await client.attr("ttl")(key));
        if (ttl >= 0) raise_http(429, detail);
        co_await client.attr("set")(key, 1, nb::arg("ex") = 1);
    }
    co_return nb::none();
}

}  // namespace

Coro enforce_rate_limit(std::string rate_key, long long limit, std::string detail, bool warn) {
    object client = ns["redis_client"];
    RedisCall call(client, "the rate limit");
    if (call.skipped()) co_return nb::none();
    try {
        object counting = run(count_request(client, pystr(rate_key), limit, std::move(detail)));
        co_await ns["asyncio"].attr("wait_for")(counting, nb::arg("timeout") = RATE_LIMIT_TIMEOUT);
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
