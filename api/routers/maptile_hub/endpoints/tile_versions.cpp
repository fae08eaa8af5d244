// tile_versions.cpp: GET /gis/tile-versions, a stream of server-sent events: the current version
// of every layer, then again each time one changes, so that an open map asks for the new tiles
// of an edited layer within a second. One watcher per process reads the versions from Redis
// while any stream wants them; every stream waits on it.
#include "cache/freshness.hpp"
#include "startup.hpp"
#include "sql/transaction.hpp"

namespace vexa::maptile {

namespace {

/// The versions watcher (on `watcher_loop`): the versions it read last, an asyncio.Event set
/// when they change, its task, how its task shows itself, when a stream last wanted it, and
/// the class of the streams.
struct VersionsState {
    object watcher_loop;
    object versions;
    object versions_changed;
    object versions_watcher;
    CoroutineInfo versions_watcher_task;
    double versions_wanted_at = 0;
    object version_stream_class;
};

/// Made once and never destroyed, so that none of its Python references is released after the
/// interpreter has finalised.
VersionsState& state() {
    static auto* kept = new VersionsState();
    return *kept;
}

}  // namespace

namespace {

/// How often the watcher reads the versions, how long a stream stays silent before a comment
/// keeps its connection alive, and how long the watcher runs on after the last stream wanted it.
constexpr double WATCH_INTERVAL_S = 0.2;
constexpr double KEEP_ALIVE_S = 15.0;
constexpr double WATCHER_IDLE_S = 30.0;

/// The watcher: reads the versions every WATCH_INTERVAL_S and wakes the streams when they change.
Coro watch_versions() {
    for (;;) {
        Held versions = co_await read_versions();
        VersionsState& st = state();
        if (!versions.is_none() && (st.versions.is_none() || !compare(versions, st.versions, Py_EQ))) {
            st.versions = versions;
            Held changed = std::move(st.versions_changed);
            st.versions_changed = bound::asyncio().attr("Event")();
            changed.attr("set")();
        }
        if (steady_seconds() - st.versions_wanted_at > WATCHER_IDLE_S) {
            st.versions_watcher = nb::none();
            co_return nb::none();
        }
        object pausing = bound::asyncio().attr("sleep")(WATCH_INTERVAL_S);
        co_await std::move(pausing);
    }
}

/// The watcher of the running loop, started when none runs (a new loop starts afresh).
void ensure_watcher() {
    VersionsState& st = state();
    object loop = bound::asyncio().attr("get_running_loop")();
    st.versions_wanted_at = steady_seconds();
    if (!st.watcher_loop.is(loop)) {
        st.watcher_loop = loop;
        st.versions = nb::none();
        st.versions_changed = bound::asyncio().attr("Event")();
        st.versions_watcher = nb::none();
    }
    if (st.versions_watcher.is_none() || truthy(st.versions_watcher.attr("done")())) {
        st.versions = nb::none();  // read while no watcher ran: they may be old by now
        st.versions_watcher = spawn(st.versions_watcher_task, watch_versions());
    }
}

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
        ensure_watcher();
        VersionsState& st = state();
        if (st.versions.is_none()) {
            Held read = co_await read_versions();
            if (!read.is_none() && state().versions.is_none()) state().versions = read;
        }
        Held current = state().versions;
        if (!current.is_none() && !compare(current, self.attr("sent"), Py_EQ)) {
            const bool first = self.attr("sent").is_none();
            self.attr("sent") = current;
            co_return pystr(std::string(first ? "retry: 1000\n" : "") + "data: " +
                            text(bound::json().attr("dumps")(current)) + "\n\n");
        }
        Held changed = state().versions_changed;
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
    object stream = state().version_stream_class();
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
    state().version_stream_class =
        make_class(ns(), cls, "The events of one /gis/tile-versions stream.", members);
    ns().set(cls, state().version_stream_class);
    state().versions_watcher_task = native_body_info(ns(), "watch_versions");
    return define({.name = "tile_versions",
                   .doc = "Server-sent events: the current version of every layer (as the TileJSON tile URLs carry "
                          "it), then again each time one changes.",
                   .async_body = tile_versions});
}

}  // namespace vexa::maptile
