// cache.cpp: BinaryRedisCache (bytes in, bytes out, namespaced keys) and the time-limited,
// failure-absorbing safe_cache_get / safe_cache_set over the module's `cache`.
#include "cache.hpp"

#include "freshness.hpp"
#include "guarded.hpp"
#include "redis_guard.hpp"
#include "sql/transaction.hpp"
#include "startup.hpp"

namespace vexa::maptile {

namespace bound {
object safe_cache_get() { return ns()["safe_cache_get"]; }
object safe_cache_set() { return ns()["safe_cache_set"]; }
}  // namespace bound

namespace {

/// What a tile handler hands safe_cache_get and safe_cache_set beyond their documented
/// arguments, through two context variables (so a host's replacement is called with those
/// arguments alone, and each request's task sees only its own): `prefetched` holds (key, tile
/// or None) that the rate count's round trip already read, `checked_write` (key, layer,
/// generation or None, indexed) the generation a tile's query was read after.
struct CacheState {
    object prefetched;
    object checked_write;
};

CacheState& state() { return kept<CacheState>(); }

/// What the current context's `var` holds for `key`, or an empty object.
object handed_for(handle var, handle key) {
    object handed = var.attr("get")(nb::none());
    if (handed.is_none() || !compare(item(handed, nb::int_(0)), key, Py_EQ)) return object();
    return handed;
}

/// Await what `call()` returns with `var` set to `value` in the current context, reset after.
Coro awaited_with(handle var, object value, std::function<object()> call) {
    Held token = var.attr("set")(value);
    auto reset = [&] {
        try {
            var.attr("reset")(token);
        } catch (nb::python_error&) {  // closed from another context: nothing of ours to restore
        }
    };
    Held result;
    try {
        object awaiting = call();
        result = co_await std::move(awaiting);
    } catch (...) {
        reset();
        throw;
    }
    reset();
    co_return result;
}

object cache_init(Args& a) {
    handle self = a["self"];
    self.attr("redis") = a["redis_client"];
    self.attr("namespace") = a["namespace"];
    return nb::none();
}

object make_key(Args& a) { return pystr(text(a["self"].attr("namespace")) + ":" + text(a["key"])); }

Coro cache_get(Args& a) {
    handle self = a["self"], key = a["key"];
    object reading = self.attr("redis").attr("get")(self.attr("_make_key")(key));
    co_return co_await std::move(reading);
}

Coro cache_set(Args& a) {
    handle self = a["self"], key = a["key"], value = a["value"], ttl = a["ttl"];
    object writing = self.attr("redis").attr("set")(self.attr("_make_key")(key), value, nb::arg("ex") = ttl);
    co_await std::move(writing);
    co_return nb::none();
}

Coro cache_delete(Args& a) {
    handle self = a["self"], key = a["key"];
    object deleting = self.attr("redis").attr("delete")(self.attr("_make_key")(key));
    co_await std::move(deleting);
    co_return nb::none();
}

/// set_if_current: SET the entry with its lifetime unless its layer's generation has moved on
/// from the one its data was read after (write_if_current: one step in Redis).
Coro cache_set_if_current(Args& a) {
    handle self = a["self"];
    CheckedWrite write{.entry = self.attr("_make_key")(a["key"]),
                       .value = nb::borrow(a["value"]),
                       .ttl = nb::borrow(a["ttl"]),
                       .generation_key = nb::borrow(a["generation_key"]),
                       .generation = nb::borrow(a["generation"]),
                       .index = nb::borrow(a["index_key"])};
    co_return co_await write_if_current(self.attr("redis"), std::move(write));
}

}  // namespace

Coro through_cache(handle key, const char* verb, handle timeout, std::function<object(handle owner)> call) {
    Held owner = bound::cache();
    RedisCall redis_call(owner, "the tile cache", std::string(verb) == "get");
    if (redis_call.skipped()) co_return nb::none();
    redis_call.note_pool_wait(owner);
    OnError on_error{.level = "warning",
                     .message = "Cache " + std::string(verb) + " failed for " + text(key) + ": ",
                     .then = [&](const nb::python_error& e) { redis_call.failed(e); },
                     .unlogged = [&](const nb::python_error& e) { return redis_call.short_of_connections(e); }};
    co_return co_await guarded(
        [&]() -> Coro {
            Coro waiting = within(call(owner), timeout);
            object result = co_await std::move(waiting);
            redis_call.succeeded();
            co_return result;
        }(),
        std::move(on_error));
}

namespace {

// Both go through the circuit breaker of the cache object: while it is open they do not touch
// Redis (a read is a miss, a write is dropped), and only a read may be the probe that closes it.

Coro safe_cache_get(Args& a) {
    handle key = a["key"];
    object prefetched = handed_for(state().prefetched, key);
    if (prefetched.is_valid()) co_return item(prefetched, nb::int_(1));
    co_return co_await through_cache(key, "get", a["timeout"], [&](handle owner) { return owner.attr("get")(key); });
}

Coro safe_cache_set(Args& a) {
    handle key = a["key"], value = a["value"], ttl = a["ttl"];
    Held check = handed_for(state().checked_write, key);
    if (check.is_valid()) {
        co_await store_if_current(key, value, ttl, text(item(check, nb::int_(1))), item(check, nb::int_(2)),
                                  truthy(item(check, nb::int_(3))));
        co_return nb::none();
    }
    co_await through_cache(key, "set", nb::float_(CACHE_SET_TIMEOUT),
                           [&](handle owner) { return owner.attr("set")(key, value, ttl); });
    co_return nb::none();
}

}  // namespace

Coro read_tile(handle key, handle prefetched_tile) {
    if (!prefetched_tile.is_valid()) {
        object reading = bound::safe_cache_get()(key);
        co_return co_await std::move(reading);
    }
    co_return co_await awaited_with(state().prefetched, nb::make_tuple(key, prefetched_tile),
                                    [&] { return bound::safe_cache_get()(key); });
}

Coro store_tile(handle key, handle value, handle ttl, std::string layer, handle generation, bool indexed) {
    object check = nb::make_tuple(key, pystr(layer), generation.is_valid() ? nb::borrow(generation) : nb::none(),
                                  nb::bool_(indexed));
    co_await awaited_with(state().checked_write, std::move(check), [&] { return bound::safe_cache_set()(key, value, ttl); });
    co_return nb::none();
}

void define_cache_class() {
    const char* cls = "BinaryRedisCache";
    object str_type = builtin::str_type(), bytes_type = builtin::bytes_type(), int_type = builtin::int_type();
    object optional_bytes = nb::module_::import_("typing").attr("Optional")[bytes_type];
    auto method = [&](FunctionSpec description) { return make_method(ns(), cls, std::move(description)); };
    nb::dict members;
    members["__init__"] = method({.name = "__init__",
                                  .params = {{"self"}, {"redis_client"}, {"namespace", str_type, pystr("mvt")}},
                                  .sync_body = cache_init});
    members["_make_key"] = method({.name = "_make_key",
                                   .doc = "Create namespaced key.",
                                   .params = {{"self"}, {"key", str_type}},
                                   .return_annotation = str_type,
                                   .sync_body = make_key});
    members["get"] = method({.name = "get",
                             .doc = "Get binary data from cache.",
                             .params = {{"self"}, {"key", str_type}},
                             .return_annotation = optional_bytes,
                             .async_body = cache_get});
    members["set"] = method({.name = "set",
                             .doc = "Set binary data in cache with TTL.",
                             .params = {{"self"}, {"key", str_type}, {"value", bytes_type},
                                        {"ttl", int_type, nb::int_(3600)}},
                             .async_body = cache_set});
    members["set_if_current"] = method(
        {.name = "set_if_current",
         .doc = "Set binary data in cache with TTL, unless the generation stored at generation_key is no longer\n"
                "generation (the layer was invalidated after the data was read); the entry's key is added to the\n"
                "sorted set index_key (scored by its expiry) when one is given. Returns whether it was set.",
         .params = {{"self"}, {"key", str_type}, {"value", bytes_type}, {"ttl", int_type},
                    {"generation_key", str_type}, {"generation", bytes_type},
                    {"index_key", nb::module_::import_("typing").attr("Optional")[str_type], nb::none()}},
         .return_annotation = builtin::bool_type(),
         .async_body = cache_set_if_current});
    members["delete"] = method({.name = "delete",
                                .doc = "Delete key from cache.",
                                .params = {{"self"}, {"key", str_type}},
                                .async_body = cache_delete});
    ns().set(cls, make_class(ns(), cls, "Simple Redis cache for binary MVT tiles without UTF-8 decoding.", members));
}

void define_cache_functions() {
    object str_type = builtin::str_type(), bytes_type = builtin::bytes_type(), int_type = builtin::int_type(),
           float_type = builtin::float_type();
    object optional_bytes = nb::module_::import_("typing").attr("Optional")[bytes_type];
    object context_var = nb::module_::import_("contextvars").attr("ContextVar");
    state().prefetched = context_var("maptile_hub.prefetched_tile");
    state().checked_write = context_var("maptile_hub.checked_write");
    define({.name = "safe_cache_get",
            .doc = "Safely get from cache with timeout.",
            .params = {{"key", str_type}, {"timeout", float_type, nb::float_(1.0)}},
            .return_annotation = optional_bytes,
            .async_body = safe_cache_get});
    define({.name = "safe_cache_set",
            .doc = "Safely set cache value.",
            .params = {{"key", str_type}, {"value", bytes_type}, {"ttl", int_type}},
            .async_body = safe_cache_set});
}

}  // namespace vexa::maptile
