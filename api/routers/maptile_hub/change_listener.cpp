// change_listener.cpp: listen_for_tile_changes, which keeps the tile cache in step with the
// edits of the layer tables. The database's triggers record every change's bounds in
// "GIS".tile_changes and notify vexa_tile_changes; one process per database (the holder of an
// advisory lock) reads the changes, removes the cached tiles over them at every zoom the layer
// is served, and the layer's bounding-box tiles and centroid, then deletes the rows it applied.
#include "change_listener.hpp"

#include "freshness.hpp"
#include "guarded.hpp"
#include "tile_rules.hpp"
#include "transaction.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace vexa::maptile {

namespace {

/// The advisory lock that elects the one active listener of a database.
constexpr long long LISTENER_LOCK = 0x76657861'74696c65;  // "vexatile"
/// The channel the triggers notify.
constexpr const char* CHANNEL = "vexa_tile_changes";

/// Seconds between a standby's attempts to take the lock, between the active listener's looks
/// at the change log when no notification came, and before reconnecting after a failure.
constexpr double STANDBY_POLL_S = 1.0;
constexpr double IDLE_POLL_S = 1.0;
constexpr double RECONNECT_S = 1.0;
/// The retry while Redis does not answer: doubling from the first to the last.
constexpr double REDIS_RETRY_FIRST_S = 0.25, REDIS_RETRY_LAST_S = 5.0;

/// Past these, a layer's changes are not followed tile by tile: its cached tiles are cleared.
constexpr long long MAX_CHANGES_FOLLOWED = 5000;
constexpr long long MAX_TILES_REMOVED = 20000;
/// Keys per UNLINK.
constexpr size_t UNLINK_BATCH = 1000;
/// Geometries' bounds are kept as single-precision floats in their index: a tile "&&" the
/// geometry may lie that far outside its exact bounds.
constexpr double BOUNDS_SLACK_M = 1.0;

constexpr const char* CHANGES_BY_LAYER_SQL = R"(
        SELECT layer, array_agg(id ORDER BY id) AS ids, bool_or(minx IS NULL) AS whole
        FROM "GIS".tile_changes
        GROUP BY layer
        ORDER BY min(id)
    )";
constexpr const char* CHANGE_BOUNDS_SQL = R"(
        SELECT minx, miny, maxx, maxy FROM "GIS".tile_changes WHERE id = ANY($1::bigint[])
    )";
constexpr const char* APPLIED_SQL = R"(DELETE FROM "GIS".tile_changes WHERE id = ANY($1::bigint[]))";

/// The Redis side of one layer's changes: counts for the log.
struct Removal {
    long long entries = 0;   // cached entries removed
    long long commands = 0;  // Redis commands issued
};

/// UNLINK `keys` in batches.
Coro unlink_all(handle client, std::vector<std::string> keys, Removal* removal) {
    for (size_t first = 0; first < keys.size(); first += UNLINK_BATCH) {
        nb::list batch;
        for (size_t i = first; i < std::min(keys.size(), first + UNLINK_BATCH); ++i) batch.append(pystr(keys[i]));
        object unlinking = steal(PyObject_Call(nb::borrow(client).attr("unlink").ptr(), nb::tuple(batch).ptr(), nullptr));
        removal->entries += nb::cast<long long>(co_await std::move(unlinking));
        ++removal->commands;
    }
    co_return nb::none();
}

/// UNLINK every key matching `pattern`, found by SCAN.
Coro unlink_matching(handle client, std::string pattern, Removal* removal) {
    Held cursor = nb::int_(0);
    do {
        object scanning = nb::borrow(client).attr("scan")(cursor, nb::arg("match") = pystr(pattern),
                                                         nb::arg("count") = 1000);
        Held page = co_await std::move(scanning);
        ++removal->commands;
        cursor = item(page, nb::int_(0));
        std::vector<std::string> keys;
        for (handle key : item(page, nb::int_(1))) keys.push_back(text(nb::borrow(key).attr("decode")("utf-8")));
        co_await unlink_all(client, std::move(keys), removal);
    } while (nb::cast<long long>(cursor) != 0);
    co_return nb::none();
}

/// The entries named by the set `index`, and the set.
Coro unlink_indexed(handle client, std::string index, Removal* removal) {
    object reading = nb::borrow(client).attr("smembers")(pystr(index));
    Held members = co_await std::move(reading);
    ++removal->commands;
    std::vector<std::string> keys{index};
    for (handle key : members) keys.push_back(text(nb::borrow(key).attr("decode")("utf-8")));
    const long long before = removal->entries;
    co_await unlink_all(client, std::move(keys), removal);
    if (removal->entries > before) --removal->entries;  // the index itself is not an entry
    co_return nb::none();
}

/// The keys of `layer`'s tiles that meet `boxes`, at every zoom it is served; nothing when they
/// are more than MAX_TILES_REMOVED.
std::optional<std::vector<std::string>> covered_tiles(const std::string& layer, int min_zoom,
                                                      const std::vector<tiles::Box>& boxes) {
    long long total = 0;
    std::vector<tiles::TileRange> ranges;
    for (const tiles::Box& box : boxes) {
        const tiles::Box widened{box.minx - BOUNDS_SLACK_M, box.miny - BOUNDS_SLACK_M, box.maxx + BOUNDS_SLACK_M,
                                 box.maxy + BOUNDS_SLACK_M};
        for (int z = std::max(min_zoom, 1); z <= tiles::MAX_TILE_ZOOM; ++z) {
            ranges.push_back(tiles::tiles_covering(widened, z));
            total += ranges.back().count();
            if (total > MAX_TILES_REMOVED) return std::nullopt;
        }
    }
    const std::string prefix = text(bound::cache().attr("namespace")) + ":" + layer + ":";
    std::unordered_set<std::string> keys;
    for (const tiles::TileRange& r : ranges)
        for (long long x = r.x0; x <= r.x1; ++x)
            for (long long y = r.y0; y <= r.y1; ++y)
                keys.insert(prefix + std::to_string(r.z) + ":" + std::to_string(x) + ":" + std::to_string(y));
    return std::vector<std::string>(keys.begin(), keys.end());
}

/// One layer's changes, as read from the change log.
struct LayerChanges {
    std::string layer;
    Held ids;  // the rows, to delete once applied
    long long count = 0;
    bool whole = false;
};

/// Remove what `changes` made stale: the layer's generation first, then its covered tiles (or
/// all of its tiles), centroid and bounding-box tiles, then its version. `connection` gives the
/// bounds. Redis errors propagate.
Coro apply(handle connection, LayerChanges& changes, bool* removed_layer) {
    object config = bound::LAYER_CONFIG().attr("get")(pystr(changes.layer));
    if (config.is_none()) co_return nb::none();  // a table that is no layer any more: nothing cached
    const int min_zoom = nb::cast<int>(min_zoom_of(config));

    std::optional<std::vector<std::string>> tiles;
    if (!changes.whole && changes.count <= MAX_CHANGES_FOLLOWED) {
        object reading = nb::borrow(connection).attr("fetch")(CHANGE_BOUNDS_SQL, changes.ids);
        Held rows = co_await std::move(reading);
        std::vector<tiles::Box> boxes;
        for (handle row : rows)
            boxes.push_back({number(row[nb::int_(0)]), number(row[nb::int_(1)]), number(row[nb::int_(2)]),
                             number(row[nb::int_(3)])});
        tiles = covered_tiles(changes.layer, min_zoom, boxes);
    }
    *removed_layer = !tiles;

    Held client = bound::redis_client();
    const std::string prefix = text(bound::cache().attr("namespace")) + ":";
    Removal removal;
    std::vector<std::string> layer{changes.layer}, centroid{prefix + "centroid:" + changes.layer};
    co_await advance_generations(client, layer);
    ++removal.commands;
    if (tiles)
        co_await unlink_all(client, std::move(*tiles), &removal);
    else
        co_await unlink_matching(client, prefix + changes.layer + ":*", &removal);
    co_await unlink_all(client, std::move(centroid), &removal);
    co_await publish_versions(client, layer);
    removal.commands += 2;
    co_await unlink_indexed(client, bbox_index_key(changes.layer), &removal);

    const std::string what = "Tile change listener: " + std::to_string(changes.count) + " change" +
                             (changes.count == 1 ? "" : "s") + " to " + changes.layer;
    const std::string counts = std::to_string(removal.entries) + " cached entries removed, " +
                               std::to_string(removal.commands) + " Redis commands";
    if (*removed_layer)
        log("info", what + (changes.whole ? " (the table was emptied)" : " reach too many tiles to follow one by one") +
                        ": the layer's cache is cleared (" + counts + ")");
    else
        log("info", what + ": " + counts);
    co_return nb::none();
}

/// Apply every change the log holds now, layer by layer. Gives false when Redis failed (the
/// changes stay in the log, to be applied again); database errors propagate.
Coro apply_pending(handle connection, bool* applied_any) {
    object reading = nb::borrow(connection).attr("fetch")(CHANGES_BY_LAYER_SQL);
    Held layers = co_await std::move(reading);
    *applied_any = nb::len(layers) > 0;
    for (handle row : layers) {
        LayerChanges changes{.layer = text(row[nb::str("layer")]), .ids = row[nb::str("ids")]};
        changes.count = (long long)nb::len(changes.ids);
        changes.whole = truthy(row[nb::str("whole")]);
        bool removed_layer = false;
        bool redis_failed = false;
        OnError on_error{.level = "warning",
                         .message = "Tile change listener: Redis failed while applying the changes to " + changes.layer +
                                    " (they are kept and applied again): ",
                         .then = [&](const nb::python_error&) { redis_failed = true; }};
        co_await guarded(apply(connection, changes, &removed_layer), std::move(on_error));
        if (redis_failed) co_return nb::bool_(false);
        object deleting = nb::borrow(connection).attr("execute")(APPLIED_SQL, changes.ids);
        co_await std::move(deleting);
    }
    co_return nb::bool_(true);
}

/// Wait for the advisory lock, polling; gives once this connection holds it.
Coro take_the_lock(handle connection) {
    bool announced = false;
    for (;;) {
        end_if_cancelled();
        object trying = nb::borrow(connection).attr("fetchval")("SELECT pg_try_advisory_lock($1)", LISTENER_LOCK);
        if (truthy(co_await std::move(trying))) co_return nb::none();
        if (!announced) log("info", "Tile change listener: standing by (another process applies the changes)");
        announced = true;
        object sleeping = bound::asyncio().attr("sleep")(STANDBY_POLL_S);
        co_await std::move(sleeping);
    }
}

/// As the active listener: apply the pending changes, then each time a notification comes (or
/// IDLE_POLL_S passes), for as long as the connection works.
Coro follow_changes(handle connection) {
    Held asyncio = bound::asyncio();
    Held notified = asyncio.attr("Event")();
    object callback = nb::cpp_function([event = object(notified)](nb::args) { event.attr("set")(); });
    object listening = nb::borrow(connection).attr("add_listener")(CHANNEL, callback);
    co_await std::move(listening);
    log("info", "Tile change listener: active");
    double retry = REDIS_RETRY_FIRST_S;
    for (;;) {
        end_if_cancelled();
        notified.attr("clear")();
        bool applied_any = false;
        if (!truthy(co_await apply_pending(connection, &applied_any))) {
            object pausing = asyncio.attr("sleep")(retry);
            co_await std::move(pausing);
            retry = std::min(retry * 2, REDIS_RETRY_LAST_S);
            continue;
        }
        retry = REDIS_RETRY_FIRST_S;
        if (applied_any) continue;  // more may have come meanwhile
        Coro waiting = within(notified.attr("wait")(), IDLE_POLL_S);
        OnError idle;  // the time-out is the poll
        co_await guarded(
            [&]() -> Coro {
                co_await std::move(waiting);
                co_return nb::none();
            }(),
            idle);
    }
}

/// Close a connection at once, whatever state it is in.
void terminate(handle connection) {
    OnError ignored;
    guarded([&] { return nb::borrow(connection).attr("terminate")(); }, ignored);
}

Coro listen_for_tile_changes(Args& a) {
    handle connect = a["connect"];
    for (;;) {
        end_if_cancelled();
        Held connection;
        std::string failure;
        try {
            object connecting = nb::borrow(connect)();
            connection = co_await std::move(connecting);
            co_await take_the_lock(connection);
            co_await follow_changes(connection);
        } catch (nb::python_error& e) {
            if (!is_exception(e)) {
                if (connection.is_valid()) terminate(connection);
                throw;
            }
            failure = text(e.value());
        }
        if (connection.is_valid()) terminate(connection);
        log("warning", "Tile change listener: the database connection failed (" + failure + "); reconnecting in " +
                           std::to_string(int(RECONNECT_S)) + " s");
        object pausing = bound::asyncio().attr("sleep")(RECONNECT_S);
        co_await std::move(pausing);
    }
}

}  // namespace

void define_change_listener() {
    define({.name = "listen_for_tile_changes",
            .doc = "Keep the tile cache in step with the edits of the layer tables, until cancelled.\n\n"
                   "`connect` is an async callable that opens a new asyncpg connection to the database. One\n"
                   "process per database applies the changes (the holder of an advisory lock); the others stand\n"
                   "by and take over within a few seconds when it goes. Run it as a task of the host's event loop.",
            .params = {{"connect"}},
            .return_annotation = nb::none(),
            .async_body = listen_for_tile_changes});
}

}  // namespace vexa::maptile
