// versions_watcher.cpp: the layers' versions read every WATCH_INTERVAL_S while a stream wants
// them, an asyncio.Event set at each change.
#include "versions_watcher.hpp"

#include "cache/freshness.hpp"
#include "startup.hpp"

namespace vexa::maptile {

namespace {

/// How often the watcher reads the versions, and how long it runs on after the last stream
/// wanted them.
constexpr double WATCH_INTERVAL_S = 0.2;
constexpr double WATCHER_IDLE_S = 30.0;

/// The watcher (on `loop`): the versions it read last, the Event set when they change, its
/// task, how its task shows itself, and when a stream last wanted it.
struct WatcherState {
    object loop;
    object versions;
    object changed;
    object task;
    CoroutineInfo task_info;
    double wanted_at = 0;
};

WatcherState& state() { return kept<WatcherState>(); }

Coro watch_versions() {
    for (;;) {
        Held versions = co_await read_versions();
        WatcherState& st = state();
        if (!versions.is_none() && (st.versions.is_none() || !compare(versions, st.versions, Py_EQ))) {
            st.versions = versions;
            Held changed = std::move(st.changed);
            st.changed = bound::asyncio().attr("Event")();
            changed.attr("set")();
        }
        if (steady_seconds() - st.wanted_at > WATCHER_IDLE_S) {
            st.task = nb::none();
            co_return nb::none();
        }
        object pausing = bound::asyncio().attr("sleep")(WATCH_INTERVAL_S);
        co_await std::move(pausing);
    }
}

}  // namespace

WatchedVersions watched_versions() {
    WatcherState& st = state();
    object loop = bound::asyncio().attr("get_running_loop")();
    st.wanted_at = steady_seconds();
    if (!st.loop.is(loop)) {  // a new loop starts afresh
        st.loop = loop;
        st.versions = nb::none();
        st.changed = bound::asyncio().attr("Event")();
        st.task = nb::none();
    }
    if (st.task.is_none() || truthy(st.task.attr("done")())) {
        st.versions = nb::none();  // read while no watcher ran: they may be old by now
        st.task = spawn(st.task_info, watch_versions());
    }
    return {st.versions, st.changed};
}

void offer_versions(handle versions) {
    if (!versions.is_none() && state().versions.is_none()) state().versions = nb::borrow(versions);
}

void define_versions_watcher() { state().task_info = native_body_info(ns(), "watch_versions"); }

}  // namespace vexa::maptile
