// rate_limit.cpp: the per-client request counter in Redis, a fixed one-second window.
#include "rate_limit.hpp"

#include "cache.hpp"
#include "guarded.hpp"
#include "redis_guard.hpp"
#include "redis_protocol.hpp"
#include "core/local_limit.hpp"
#include "endpoints/responses.hpp"
#include "startup.hpp"

#include <memory>

namespace vexa::maptile {

namespace {

/// What the rate limit keeps between calls.
struct RateLimitState {
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

/// Count the request in `key`'s window: true when it is the one past `limit`, or later.
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

/// The time limit of one awaited call, kept by a timer of the event loop that cancels the
/// awaiting task when it runs out. At the end of each slice of RATE_LIMIT_TIMEOUT the timer
/// asks whether the delay is the process's own: while Redis answered other calls (checks,
/// cache reads and writes) during the slice (a flood of cache hits may hold every pooled
/// connection), or the timer itself ran more than LOOP_LAG_LIMIT late (a flood keeps the loop
/// busy), the answer is most likely waiting unread, and the wait goes on, up to
/// RATE_LIMIT_BUSY_TIMEOUT in all, rather than take a healthy Redis for a failing one and let
/// the flood through. A Redis that stops answering everyone fails the check one slice later.
struct Deadline : std::enable_shared_from_this<Deadline> {
    object loop, task, timer;
    double started = steady_seconds(), slice = started;
    bool expired = false;

    void arm() {
        slice = steady_seconds();
        std::weak_ptr<Deadline> self = weak_from_this();
        timer = loop.attr("call_later")(RATE_LIMIT_TIMEOUT, nb::cpp_function([self] {
            if (auto deadline = self.lock()) deadline->slice_ended();
        }));
    }

    void slice_ended() {
        const double now = steady_seconds();
        const bool process_is_late = last_redis_answer() > slice || now - slice - RATE_LIMIT_TIMEOUT > LOOP_LAG_LIMIT;
        if (process_is_late && now - started + RATE_LIMIT_TIMEOUT <= RATE_LIMIT_BUSY_TIMEOUT) return arm();
        expired = true;
        task.attr("cancel")();
    }

    void disarm() {
        if (timer.is_valid()) timer.attr("cancel")();
        timer.reset();
    }

    ~Deadline() { disarm(); }
};

/// Await `call` for RATE_LIMIT_TIMEOUT seconds, stretched while the process is late (above), and
/// raise TimeoutError when it has not finished: the call is cancelled where it waits. A
/// cancellation of the task from elsewhere stays a cancellation.
Coro within_time_limit(Coro call) {
    Held asyncio = bound::asyncio();
    auto deadline = std::make_shared<Deadline>();
    deadline->task = asyncio.attr("current_task")();
    if (deadline->task.is_none()) co_return co_await std::move(call);  // not in a task: nothing to cancel
    deadline->loop = asyncio.attr("get_running_loop")();
    const long long cancelling = nb::cast<long long>(deadline->task.attr("cancelling")());
    deadline->arm();
    Held result;
    try {
        result = co_await std::move(call);
    } catch (nb::python_error& e) {
        deadline->disarm();
        if (!deadline->expired || !e.matches(asyncio.attr("CancelledError"))) throw;
        if (nb::cast<long long>(deadline->task.attr("uncancel")()) > cancelling) throw;  // cancelled by others too
        raise(PyExc_TimeoutError, "");
    }
    deadline->disarm();
    // Expired as the call ended: its result stands, and the cancellation meant for it is withdrawn.
    if (deadline->expired) deadline->task.attr("uncancel")();
    co_return result;
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
                         .then = [&](const nb::python_error& e) { call.failed(e); },
                         .unlogged = [&](const nb::python_error& e) { return call.short_of_connections(e); }};
        refused = co_await guarded(
            [&]() -> Coro {
                Held over_limit = co_await within_time_limit(count_request(client, pystr(rate_key), limit));
                call.succeeded();
                counted = true;
                co_return over_limit;
            }(),
            std::move(on_error));
    }
    // Redis skipped (its breaker open), out of reach, out of memory, no free connection in the
    // pool, or failing otherwise: the limit is this process's own count, approximate (each
    // worker counts apart) but never absent.
    if (!counted) refused = nb::bool_(!state().local_windows.admit(rate_key, steady_seconds(), limit));
    if (truthy(refused)) raise_retry_later(429, detail, 1);
    co_return nb::none();
}

namespace {

// KEYS: the rate counter, the tile's entry, its layer's generation; ARGV[1]: the limit. Counts as
// count_request does; gives the count (an integer) past the limit, otherwise the tile, or when
// the entry is absent {generation}: a hit, the common answer, is one bulk reply and nothing more.
constexpr const char* COUNTED_READ = R"(
local count = redis.call('INCR', KEYS[1])
if count == 1 then
    redis.call('EXPIRE', KEYS[1], 1)
end
if count > tonumber(ARGV[1]) then
    if redis.call('TTL', KEYS[1]) >= 0 then
        return count
    end
    redis.call('SET', KEYS[1], 1, 'EX', 1)
end
local tile = redis.call('GET', KEYS[2])
if tile then
    return tile
end
return {redis.call('GET', KEYS[3]) or '0'}
)";

/// The script's answer, or None when the client's Redis runs no scripts.
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
    OnError on_error{.level = "warning",
                     .message = "Rate limit check failed: ",
                     .then = [&](const nb::python_error& e) {
                         failed = true;
                         rate_call.failed(e);
                         if (!cache_call.short_of_connections(e))
                             log("warning", "Cache get failed for " + text(cache_key) + ": " + text(e.value()));
                         cache_call.failed(e);
                     },
                     .unlogged = [&](const nb::python_error& e) { return rate_call.short_of_connections(e); }};
    answer = co_await guarded(
        [&]() -> Coro {
            Held answered = co_await within_time_limit(run_counted_read(client, nb::borrow<nb::tuple>(keys), limit));
            rate_call.succeeded();
            cache_call.succeeded();
            co_return answered;
        }(),
        std::move(on_error));
    if (!failed && answer.is_none()) co_return nb::none();  // no scripts: counted and read one after the other
    out.read = true;
    out.tile = nb::none();
    out.generation = nb::none();
    if (failed) {  // Redis (or the pool) failed both: the process counts, the read is a miss
        if (!state().local_windows.admit(rate_key, steady_seconds(), limit)) raise_retry_later(429, detail, 1);
        co_return nb::none();
    }
    if (PyLong_Check(answer.ptr())) raise_retry_later(429, detail, 1);  // only a count past the limit
    if (PyList_Check(answer.ptr()) || PyTuple_Check(answer.ptr())) {
        out.generation = item(answer, nb::int_(0));  // a miss
    } else {
        out.tile = nb::borrow(answer);
    }
    co_return nb::none();
}

void define_rate_limit() {
    state().counted_read = lua_script(COUNTED_READ);
}

}  // namespace vexa::maptile
