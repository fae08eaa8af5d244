// cache.cpp: BinaryRedisCache (bytes in, bytes out, namespaced keys) and the time-limited,
// failure-absorbing safe_cache_get / safe_cache_set over the module's `cache`.
#include "cache.hpp"

#include "guarded.hpp"
#include "redis_guard.hpp"
#include "transaction.hpp"

namespace vexa::maptile {

namespace bound {
object safe_cache_get() { return ns()["safe_cache_get"]; }
object safe_cache_set() { return ns()["safe_cache_set"]; }
}  // namespace bound

namespace {

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

// Both go through the circuit breaker of the cache object: while it is open they do not touch
// Redis (a read is a miss, a write is dropped), and only a read may be the probe that closes it.

Coro safe_cache_get(Args& a) {
    handle key = a["key"], timeout = a["timeout"];
    Held owner = bound::cache();
    RedisCall call(owner, "the tile cache");
    if (call.skipped()) co_return nb::none();
    OnError on_error{.level = "warning",
                     .message = "Cache get failed for " + text(key) + ": ",
                     .then = [&](const nb::python_error& e) { call.failed(e); }};
    co_return co_await guarded(
        [&]() -> Coro {
            object reading = within(owner.attr("get")(key), timeout);
            object value = co_await std::move(reading);
            call.succeeded();
            co_return value;
        }(),
        std::move(on_error));
}

Coro safe_cache_set(Args& a) {
    handle key = a["key"], value = a["value"], ttl = a["ttl"];
    Held owner = bound::cache();
    RedisCall call(owner, "the tile cache", false);
    if (call.skipped()) co_return nb::none();
    OnError on_error{.level = "warning",
                     .message = "Cache set failed for " + text(key) + ": ",
                     .then = [&](const nb::python_error& e) { call.failed(e); }};
    co_await guarded(
        [&]() -> Coro {
            object writing = within(owner.attr("set")(key, value, ttl), CACHE_SET_TIMEOUT);
            co_await std::move(writing);
            call.succeeded();
            co_return nb::none();
        }(),
        std::move(on_error));
    co_return nb::none();
}

}  // namespace

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
