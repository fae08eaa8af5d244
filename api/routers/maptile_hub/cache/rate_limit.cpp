// rate_limit.cpp: the per-client request counter in Redis, a fixed one-second window.
#include "rate_limit.hpp"

#include "cache.hpp"
#include "guarded.hpp"
#include "redis_guard.hpp"
#include "redis_protocol.hpp"
#include "core/local_limit.hpp"
#include "endpoints/responses.hpp"
#include "startup.hpp"

namespace vexa::maptile {

namespace {

/// What the rate limit keeps between calls.
struct RateLimitState {
    /// How its counting task shows itself.
    CoroutineInfo counting_task;
    /// Its own counts, used while its Redis is skipped or fails.
    tiles::LocalWindows local_windows;
    /// The Lua script that counts a tile request and reads its tile.
    LuaScript counted_read;
};

RateLimitState& state() { return kept<RateLimitState>(); }

}  // namespace

std::string client_address(handle request) {
    if (request.is_none()) return "unknown";
    object client = request.attr("client");
    return client.is_none() ? "unknown" : text(client.attr("host"));
}

namespace {

/// Count the request in `key`'s window: true when it is the one past `limit`, or later. Run as a
/// task of its own (it owns its arguments), so that the time limit below can leave it running.
Coro count_request(object client, nb::str key, long long limit) {
    object incrementing = client.attr("incr")(key);
    const long long request_count = nb::cast<long long>(co_await std::move(incrementing));
    note_redis_answer();
    if (request_count == 1) {
        object expiring = client.attr("expire")(key, 1);
        co_await std::move(expiring);
    }
    if (request_count <= limit) co_return nb::bool_(false);
    // A counter whose EXPIRE was lost (the process died between the two commands, or EXPIRE
    // failed) never expires and would refuse this address for ever. Before refusing, make sure
    // the window is live; a counter without one starts afresh. A host's own client that offers
    // only INCR and EXPIRE is taken at its count.
    if (!nb::hasattr(client, "ttl") || !nb::hasattr(client, "set")) co_return nb::bool_(true);
    object asking = client.attr("ttl")(key);
    if (nb::cast<long long>(co_await std::move(asking)) >= 0) co_return nb::bool_(true);
    object restarting = client.attr("set")(key, 1, nb::arg("ex") = 1);
    co_await std::move(restarting);
    co_return nb::bool_(false);
}

/// Await `task` for RATE_LIMIT_TIMEOUT seconds, and raise TimeoutError (cancelling it) when it
/// has not finished. Unless the delay is the process's own: while Redis answers other calls
/// (checks, cache reads and writes) during each further slice of RATE_LIMIT_TIMEOUT (a flood of
/// cache hits may hold every pooled connection), or the slice's own end comes more than
/// LOOP_LAG_LIMIT late (a flood keeps the loop busy), the answer is most
/// likely waiting unread, and the wait goes on, up to RATE_LIMIT_BUSY_TIMEOUT in all, rather
/// than take a healthy Redis for a failing one and let the flood through. A Redis that stops
/// answering everyone fails the check one slice later.
Coro within_time_limit(object task_given) {
    Held task = std::move(task_given);
    Held asyncio = bound::asyncio();
    Held waiting = nb::set();
    nb::borrow<nb::set>(waiting).add(task);
    const double started = steady_seconds();
    try {
        for (;;) {
            const double slice = steady_seconds();
            object sliced = asyncio.attr("wait")(waiting, nb::arg("timeout") = RATE_LIMIT_TIMEOUT);
            co_await std::move(sliced);
            if (truthy(task.attr("done")())) break;
            const double lag = steady_seconds() - slice - RATE_LIMIT_TIMEOUT;
            const bool process_is_late = last_redis_answer() > slice || lag > LOOP_LAG_LIMIT;
            if (!process_is_late || steady_seconds() - started + RATE_LIMIT_TIMEOUT > RATE_LIMIT_BUSY_TIMEOUT) break;
        }
    } catch (...) {
        task.attr("cancel")();
        throw;
    }
    if (!truthy(task.attr("done")())) {
        task.attr("cancel")();
        // It may still end with its own outcome before the cancellation lands.
        task.attr("add_done_callback")(nb::cpp_function([](handle ended) {
            if (!truthy(ended.attr("cancelled")())) ended.attr("exception")();
        }));
        raise(PyExc_TimeoutError, "");
    }
    co_return task.attr("result")();
}

}  // namespace

Coro enforce_rate_limit(std::string rate_key, long long limit, std::string detail, bool warn) {
    Held client = bound::redis_client();
    RedisCall call(client, "the rate limit");
    bool counted = false;  // by Redis; otherwise the process counts the request itself
    Held refused = nb::bool_(false);
    if (!call.skipped()) {
        OnError on_error{.level = warn ? "warning" : nullptr,
                         .message = "Rate limit check failed: ",
                         .then = [&](const nb::python_error& e) { call.failed(e); }};
        refused = co_await guarded(
            [&]() -> Coro {
                object counting = spawn(state().counting_task, count_request(client, pystr(rate_key), limit));
                object over_limit = co_await within_time_limit(std::move(counting));
                call.succeeded();
                counted = true;
                co_return over_limit;
            }(),
            std::move(on_error));
    }
    // Redis skipped (its breaker open), out of reach, out of memory or failing otherwise: the
    // limit is this process's own count, approximate (each worker counts apart) but never absent.
    if (!counted) refused = nb::bool_(!state().local_windows.admit(rate_key, steady_seconds(), limit));
    if (truthy(refused)) raise_retry_later(429, detail, 1);
    co_return nb::none();
}

namespace {

// KEYS: the rate counter, the tile's entry, its layer's generation; ARGV[1]: the limit. Counts as
// count_request does; gives {count} past the limit, {count, tile or nil, generation} otherwise.
constexpr const char* COUNTED_READ = R"(
local count = redis.call('INCR', KEYS[1])
if count == 1 then
    redis.call('EXPIRE', KEYS[1], 1)
end
if count > tonumber(ARGV[1]) then
    if redis.call('TTL', KEYS[1]) >= 0 then
        return {count}
    end
    redis.call('SET', KEYS[1], 1, 'EX', 1)
    count = 1
end
return {count, redis.call('GET', KEYS[2]) or false, redis.call('GET', KEYS[3]) or '0'}
)";

/// The script, as a task of its own (the time limit may leave it running): its answer, or None
/// when the client's Redis runs no scripts.
Coro run_counted_read(object client, nb::tuple keys, long long limit) {
    Held answer = co_await run_script(std::move(client), state().counted_read, std::move(keys), nb::make_tuple(limit));
    note_redis_answer();
    co_return answer.is_valid() ? object(answer) : object(nb::none());
}

/// Whether `owner` keeps its entries on the module's client under keys it names, so that the
/// count and the read can be one call to that client.
bool cache_on_client(handle client, handle owner) {
    return nb::hasattr(owner, "_make_key") && nb::hasattr(owner, "redis") && owner.attr("redis").is(client);
}

}  // namespace

Coro counted_read(std::string rate_key, long long limit, std::string detail, handle cache_key,
                  std::string generation_key, CountedRead& out) {
    Held client = bound::redis_client();
    Held owner = bound::cache();
    if (!cache_on_client(client, owner) || refused_for_now(client, Feature::scripts)) co_return nb::none();
    RedisCall rate_call(client, "the rate limit");
    RedisCall cache_call(owner, "the tile cache");
    if (rate_call.skipped() || cache_call.skipped()) co_return nb::none();

    Held keys = nb::make_tuple(pystr(rate_key), owner.attr("_make_key")(cache_key), pystr(generation_key));
    Held answer;
    bool failed = false;
    OnError on_error{.level = "warning", .message = "Rate limit check failed: ", .then = [&](const nb::python_error& e) {
                         failed = true;
                         rate_call.failed(e);
                         log("warning", "Cache get failed for " + text(cache_key) + ": " + text(e.value()));
                         cache_call.failed(e);
                     }};
    answer = co_await guarded(
        [&]() -> Coro {
            object running = spawn(state().counting_task, run_counted_read(client, nb::borrow<nb::tuple>(keys), limit));
            object answered = co_await within_time_limit(std::move(running));
            rate_call.succeeded();
            cache_call.succeeded();
            co_return answered;
        }(),
        std::move(on_error));
    if (!failed && answer.is_none()) co_return nb::none();  // no scripts: counted and read one after the other
    out.read = true;
    out.tile = nb::none();
    out.generation = nb::none();
    if (failed) {  // Redis failed both: the process counts, the read is a miss
        if (!state().local_windows.admit(rate_key, steady_seconds(), limit)) raise_retry_later(429, detail, 1);
        co_return nb::none();
    }
    if (number(item(answer, nb::int_(0))) > double(limit)) raise_retry_later(429, detail, 1);
    out.tile = item(answer, nb::int_(1));
    out.generation = item(answer, nb::int_(2));
    co_return nb::none();
}

void define_rate_limit() {
    state().counting_task = native_body_info(ns(), "count_request");
    state().counted_read = lua_script(COUNTED_READ);
}

}  // namespace vexa::maptile
