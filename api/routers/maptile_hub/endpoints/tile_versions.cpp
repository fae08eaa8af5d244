// tile_versions.cpp: GET /gis/tile-versions, a stream of server-sent events: the current version
// of every layer, then again each time one changes, so that an open map asks for the new tiles
// of an edited layer within a second. Every stream waits on the one versions watcher, and holds
// one of the worker's places for streams from its making to its end.
#include "cache/freshness.hpp"
#include "cache/rate_limit.hpp"
#include "core/open_streams.hpp"
#include "endpoints/responses.hpp"
#include "startup.hpp"
#include "background/versions_watcher.hpp"
#include "sql/transaction.hpp"

namespace vexa::maptile {

namespace {

/// How long a stream stays silent before a comment keeps its connection alive.
constexpr double KEEP_ALIVE_S = 15.0;

/// What a refused client is told to wait: a place frees as a map elsewhere closes its stream,
/// and the web map asks again 3 s after a refusal whatever it is told.
constexpr int STREAM_RETRY_AFTER_S = 5;

/// The class of the streams, made once at start-up.
object& stream_class() { return kept<object>(); }

/// The worker's places for streams: VERSION_STREAMS_PER_ADDRESS for each client address,
/// VERSION_STREAMS_PER_WORKER in all (module constants, read as each stream opens).
tiles::OpenStreams& places() { return kept<tiles::OpenStreams>(); }

/// The place of the stream `self` given back, once: its `address` reads None from then on.
void give_back(handle self) {
    object address = nb::getattr(self, "address", nb::none());
    if (address.is_none()) return;
    self.attr("address") = nb::none();
    places().give_back(text(address));
}

/// A stream of the client `address`, in one of the worker's places, or refused: 429 when the
/// address holds all of its own, 503 when the worker holds all of its, each with Retry-After.
object stream_init(Args& a) {
    handle self = a["self"];
    self.attr("sent") = nb::none();
    self.attr("address") = nb::none();  // no place held (yet): nothing to give back
    const std::string address = text(a["address"]);
    const long long per_address = nb::cast<long long>(ns()["VERSION_STREAMS_PER_ADDRESS"]);
    const long long per_worker = nb::cast<long long>(ns()["VERSION_STREAMS_PER_WORKER"]);
    const std::string again = " Please try again in " + std::to_string(STREAM_RETRY_AFTER_S) + " s.";
    switch (places().take(address, per_address, per_worker)) {
    case tiles::OpenStreams::Refusal::address_full:
        raise_retry_later(429, "Too many open tile-versions streams from this address (at most " +
                                   std::to_string(per_address) + " on this worker)." + again,
                          STREAM_RETRY_AFTER_S);
    case tiles::OpenStreams::Refusal::worker_full:
        raise_retry_later(503, "Too many open tile-versions streams on this worker (at most " +
                                   std::to_string(per_worker) + ")." + again,
                          STREAM_RETRY_AFTER_S);
    case tiles::OpenStreams::Refusal::none:
        break;
    }
    self.attr("address") = pystr(address);
    return nb::none();
}

/// A stream dropped without ending through __anext__ (never iterated, or its response ended by
/// a failed send) gives its place back as it goes.
object stream_del(Args& a) {
    try {
        give_back(a["self"]);
    } catch (nb::python_error& e) {
        e.discard_as_unraisable("giving back a tile-versions stream's place");
    }
    return nb::none();
}

object stream_aiter(Args& a) { return nb::borrow(a["self"]); }

/// The next event: the versions when they differ from those this stream sent last, or a comment
/// after KEEP_ALIVE_S without a change.
Coro next_event(handle self) {
    for (;;) {
        if (watched_versions().versions.is_none()) {
            Held read = co_await read_versions();
            offer_versions(read);
        }
        WatchedVersions watched = watched_versions();
        Held current = std::move(watched.versions);
        if (!current.is_none() && !compare(current, self.attr("sent"), Py_EQ)) {
            const bool first = self.attr("sent").is_none();
            self.attr("sent") = current;
            co_return pystr(std::string(first ? "retry: 1000\n" : "") + "data: " +
                            text(bound::json().attr("dumps")(current)) + "\n\n");
        }
        Held changed = std::move(watched.changed);
        Coro waiting = within(changed.attr("wait")(), KEEP_ALIVE_S);
        bool timed_out = false;
        try {
            co_await std::move(waiting);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_TimeoutError)) throw;
            timed_out = true;
        }
        if (timed_out) co_return pystr(": keep-alive\n\n");
    }
}

/// The stream's next event. Whatever else ends a call (the client gone and the call cancelled,
/// the server's stop, an error) ends the stream: its place is given back, and a stream without
/// a place has ended (StopAsyncIteration).
Coro stream_anext(Args& a) {
    handle self = a["self"];
    if (nb::getattr(self, "address", nb::none()).is_none()) raise(PyExc_StopAsyncIteration, "the stream has ended");
    try {
        co_return co_await next_event(self);
    } catch (...) {
        try {
            give_back(self);
        } catch (nb::python_error& e) {
            e.discard_as_unraisable("giving back a tile-versions stream's place");
        }
        throw;
    }
}

Coro tile_versions(Args& a) {
    object stream = stream_class()(pystr(client_address(a["request"])));
    nb::dict headers;
    headers["Cache-Control"] = "no-cache";
    headers["X-Accel-Buffering"] = "no";  // a proxy must pass each event on at once
    co_return ns()["StreamingResponse"](stream, nb::arg("media_type") = "text/event-stream",
                                        nb::arg("headers") = headers);
}

}  // namespace

object make_tile_versions() {
    const char* cls = "TileVersionStream";
    auto method = [&](FunctionSpec description) { return make_method(ns(), cls, std::move(description)); };
    nb::dict members;
    members["__init__"] = method({.name = "__init__", .params = {{"self"}, {"address", builtin::str_type()}},
                                  .sync_body = stream_init});
    members["__del__"] = method({.name = "__del__", .params = {{"self"}}, .sync_body = stream_del});
    members["__aiter__"] = method({.name = "__aiter__", .params = {{"self"}}, .sync_body = stream_aiter});
    members["__anext__"] = method({.name = "__anext__", .params = {{"self"}}, .async_body = stream_anext});
    stream_class() = make_class(ns(), cls, "The events of one /gis/tile-versions stream.", members);
    ns().set(cls, stream_class());
    return define({.name = "tile_versions",
                   .doc = "Server-sent events: the current version of every layer (as the TileJSON tile URLs carry "
                          "it), then again each time one changes.\n"
                          "A worker keeps VERSION_STREAMS_PER_ADDRESS streams open for one client address (429 past "
                          "them) and VERSION_STREAMS_PER_WORKER in all (503 past them), each refusal with Retry-After.",
                   .params = {{"request", ns()["Request"]}},
                   .async_body = tile_versions});
}

}  // namespace vexa::maptile
