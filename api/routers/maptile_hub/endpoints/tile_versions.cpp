// tile_versions.cpp: GET /gis/tile-versions, a stream of server-sent events: the current version
// of every layer, then again each time one changes, so that an open map asks for the new tiles
// of an edited layer within a second. Every stream waits on the one versions watcher.
#include "cache/freshness.hpp"
#include "startup.hpp"
#include "background/versions_watcher.hpp"
#include "sql/transaction.hpp"

namespace vexa::maptile {

namespace {

/// How long a stream stays silent before a comment keeps its connection alive.
constexpr double KEEP_ALIVE_S = 15.0;

/// The class of the streams, made once at start-up.
object& stream_class() { return kept<object>(); }

object stream_init(Args& a) {
    a["self"].attr("sent") = nb::none();
    return nb::none();
}

object stream_aiter(Args& a) { return nb::borrow(a["self"]); }

/// The next event: the versions when they differ from those this stream sent last, or a comment
/// after KEEP_ALIVE_S without a change.
Coro stream_anext(Args& a) {
    handle self = a["self"];
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

Coro tile_versions(Args&) {
    object stream = stream_class()();
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
    members["__init__"] = method({.name = "__init__", .params = {{"self"}}, .sync_body = stream_init});
    members["__aiter__"] = method({.name = "__aiter__", .params = {{"self"}}, .sync_body = stream_aiter});
    members["__anext__"] = method({.name = "__anext__", .params = {{"self"}}, .async_body = stream_anext});
    stream_class() = make_class(ns(), cls, "The events of one /gis/tile-versions stream.", members);
    ns().set(cls, stream_class());
    return define({.name = "tile_versions",
                   .doc = "Server-sent events: the current version of every layer (as the TileJSON tile URLs carry "
                          "it), then again each time one changes.",
                   .async_body = tile_versions});
}

}  // namespace vexa::maptile
