// change_listener.cpp: listen_for_tile_changes, which keeps the tile cache in step with the
// edits of the layer tables. The database's triggers record every change's bounds in
// "GIS".tile_changes and notify vexa_tile_changes; one process per database (the holder of an
// advisory lock) reads the changes, removes the cached tiles over them at every zoom the layer
// is served, and the layer's bounding-box tiles and centroid, then deletes the rows it applied.
// It purges changes older than the change log's retention, and it never ends but by
// cancellation: every failure is logged and the listener connects again.
#include "startup.hpp"
#include "cache/key_removal.hpp"

#include "cache/freshness.hpp"
#include "guarded.hpp"
#include "cache/redis_protocol.hpp"
#include "core/tile_rules.hpp"
#include "sql/transaction.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace vexa::maptile {

namespace bound {
object CHANGE_RETENTION_S() { return ns()["CHANGE_RETENTION_S"]; }
}  // namespace bound

namespace {

/// The advisory lock that elects the one active listener of a database.
constexpr long long LISTENER_LOCK = 0x76657861'74696c65;  // "vexatile"
/// The channel the triggers notify.
constexpr const char* CHANNEL = "vexa_tile_changes";

/// Seconds between a standby's attempts to take the lock, between the active listener's looks
/// at the change log when no notification came, and before reconnecting after a failure (longer
/// than a standby's poll: a standby takes over from a listener whose connection failed rather
/// than that one coming back first).
constexpr double STANDBY_POLL_S = 1.0;
constexpr double IDLE_POLL_S = 1.0;
constexpr double RECONNECT_S = 2.0;
/// The retry while Redis does not answer: doubling from the first to the last.
constexpr double REDIS_RETRY_FIRST_S = 0.25, REDIS_RETRY_LAST_S = 5.0;

// The connection's limits, so that a listener that cannot go on loses its lock within seconds
// and a standby takes over:
// - The server ends a session that has sent nothing for IDLE_SESSION_S (idle_session_timeout,
//   and idle_in_transaction_session_timeout inside the clearing of a layer), and the advisory
//   lock with it: a process frozen (SIGSTOP) or cut off keeps it no longer. A healthy listener
//   is never that quiet: a standby asks for the lock every STANDBY_POLL_S, the active one reads
//   the change log at least every IDLE_POLL_S, and while it works on Redis (each command under
//   REDIS_CALL_S) it runs a SELECT 1 whenever the connection has been quiet for TOUCH_AFTER_S.
//   Its longest silence is then about TOUCH_AFTER_S + REDIS_CALL_S = 3 s, well inside 5 s, and a
//   standby takes over a frozen listener's lock within IDLE_SESSION_S + STANDBY_POLL_S (6 s).
//   A connection killed (pg_terminate_backend) frees the lock at once: a standby has it within
//   STANDBY_POLL_S.
// - A process frozen in the middle of the protocol's exchange of a statement (between a
//   statement's description and its execution, as asyncpg prepares one) leaves its session
//   neither idle nor running a statement: no time-out of the server ends it. So a standby ends
//   the lock holder's session itself (pg_terminate_backend) once it has not changed state
//   (pg_stat_activity.state_change) for STUCK_HOLDER_S: a healthy active listener changes state
//   at every statement, at least every 3 s, and no statement of its runs past STATEMENT_S.
// - TCP keepalives: the server probes a silent client after 5 s, every second, and gives up
//   after 3 unanswered probes; what it sent and nobody acknowledged for 10 s ends the session
//   too (tcp_user_timeout). A half-open connection (the client's machine gone) goes in about
//   8 s instead of the kernel's two hours.
// - Every statement of the listener is small (one page of the log, a count, a chunk of
//   deletions): the server stops one after STATEMENT_S (statement_timeout), and the client gives
//   up waiting for any answer on the connection after CONNECTION_WAIT_S, a little longer, so
//   that the server's own error comes first when the server still answers. A hung connection
//   therefore raises TimeoutError, and the listener reconnects. Opening a connection is given
//   CONNECT_S.
constexpr int IDLE_SESSION_S = 5;
constexpr double TOUCH_AFTER_S = 1.0;
constexpr double REDIS_CALL_S = 2.0;
constexpr int KEEPALIVE_IDLE_S = 5, KEEPALIVE_INTERVAL_S = 1, KEEPALIVE_COUNT = 3, TCP_USER_TIMEOUT_MS = 10000;
constexpr int STATEMENT_S = 5;
constexpr int STUCK_HOLDER_S = STATEMENT_S + 3;
constexpr double CONNECTION_WAIT_S = 7.0;
constexpr double CONNECT_S = 10.0;

/// How long the change log keeps a change, unless VEXA_CHANGE_RETENTION_S says otherwise (one
/// day), and how often the active listener purges older ones.
constexpr double DEFAULT_RETENTION_S = 86400;
constexpr double PURGE_EVERY_S = 600;

/// Past these, a layer's changes are not followed tile by tile: its cached tiles are cleared.
/// Changes are followed in batches of FOLLOW_BATCH rows, each reaching at most MAX_TILES_REMOVED
/// tiles, so that a long backlog is worked through in bounded memory.
constexpr long long MAX_CHANGES_FOLLOWED = 5000;
constexpr long long MAX_TILES_REMOVED = 20000;
constexpr long long FOLLOW_BATCH = 1000;
/// Rows per DELETE of a layer's changes or of the purge.
constexpr long long DELETE_CHUNK = 10000;
/// Keys per page of ZSCAN and SSCAN.
constexpr int SCAN_COUNT = 1000;
/// Geometries' bounds are kept as single-precision floats in their index: a tile "&&" the
/// geometry may lie that far outside its exact bounds.
constexpr double BOUNDS_SLACK_M = 1.0;

/// The listener's session settings; those the server does not know (idle_session_timeout before
/// PostgreSQL 14) are left out.
constexpr const char* SESSION_SQL = R"(
        SELECT set_config(name, setting, false)
        FROM (VALUES ('statement_timeout', $1::text), ('idle_session_timeout', $2::text),
                     ('idle_in_transaction_session_timeout', $2::text), ('tcp_keepalives_idle', $3::text),
                     ('tcp_keepalives_interval', $4::text), ('tcp_keepalives_count', $5::text),
                     ('tcp_user_timeout', $6::text)) AS s (name, setting)
        WHERE name IN (SELECT name FROM pg_settings)
    )";
/// The session holding the lock when it has been stuck for $2 seconds, ended; its pid (no row
/// otherwise). Only a session the listener's role may signal, and whose activity it may see.
/// (The holder is found first, whole, so that no other session is ever passed to
/// pg_terminate_backend, whatever order the planner gives the conditions.)
constexpr const char* END_STUCK_HOLDER_SQL = R"(
        WITH stuck AS MATERIALIZED (
            SELECT l.pid
            FROM pg_locks AS l JOIN pg_stat_activity AS a ON a.pid = l.pid
            WHERE l.locktype = 'advisory' AND l.granted AND l.pid <> pg_backend_pid()
              AND l.database = (SELECT oid FROM pg_database WHERE datname = current_database())
              AND (l.classid::bigint << 32 | l.objid::bigint) = $1 AND l.objsubid = 1
              AND a.state_change < clock_timestamp() - make_interval(secs => $2)
              AND pg_has_role(a.usesysid, 'MEMBER')
        )
        SELECT pid FROM stuck WHERE pg_terminate_backend(pid)
    )";
/// What the log holds, per layer: its rows, whether one stands for the whole layer, the last.
constexpr const char* CHANGES_BY_LAYER_SQL = R"(
        SELECT layer, count(*) AS changes, bool_or(minx IS NULL) AS whole, max(id) AS last
        FROM "GIS".tile_changes
        GROUP BY layer
        ORDER BY min(id)
    )";
/// One batch of a layer's changes, after the batch before it.
constexpr const char* CHANGE_BATCH_SQL = R"(
        SELECT id, minx, miny, maxx, maxy
        FROM "GIS".tile_changes
        WHERE layer = $1 AND id > $2 AND id <= $3
        ORDER BY id
        LIMIT $4
    )";
constexpr const char* APPLIED_SQL = R"(DELETE FROM "GIS".tile_changes WHERE id = ANY($1::bigint[]))";
/// A layer's changes as the clearing of the layer sees them (its transaction's snapshot).
constexpr const char* LAYER_CHANGES_SQL = R"(
        SELECT count(*) AS changes, coalesce(bool_or(minx IS NULL), false) AS whole
        FROM "GIS".tile_changes
        WHERE layer = $1
    )";
// The ids to delete are gathered into an array first: as a subquery joined to the table, the
// planner, going by the statistics of a change log that was empty when last analysed, chose a
// nested loop over two scans of it, and 6,000 rows took more than the statement's time limit.
constexpr const char* LAYER_ROWS_SQL = R"(
        DELETE FROM "GIS".tile_changes
        WHERE id = ANY (ARRAY(SELECT id FROM "GIS".tile_changes WHERE layer = $1 LIMIT 10000))
    )";
constexpr const char* PURGE_SQL = R"(
        DELETE FROM "GIS".tile_changes
        WHERE id = ANY (ARRAY(SELECT id FROM "GIS".tile_changes
                              WHERE changed_at < clock_timestamp() - make_interval(secs => $1) LIMIT 10000))
    )";
static_assert(DELETE_CHUNK == 10000, "the LIMIT of LAYER_ROWS_SQL and PURGE_SQL");

/// The listener's connection, and what it knows of it.
struct Link {
    Held connection;
    double used_at = 0;   // when it last answered, in steady_seconds()
    bool failed = false;  // an await on it failed: the connection, or a statement
};

/// Await `call` (a call on the connection) under CONNECTION_WAIT_S.
Coro on_database(Link& link, object call) {
    Coro waiting = within(std::move(call), CONNECTION_WAIT_S);
    try {
        Held answer = co_await std::move(waiting);
        link.used_at = steady_seconds();
        co_return object(answer);
    } catch (...) {
        link.failed = true;
        throw;
    }
}

/// A statement on the connection when it has been quiet for TOUCH_AFTER_S: the server then never
/// takes the session for idle while the listener works on Redis.
Coro touch(Link& link) {
    if (steady_seconds() - link.used_at < TOUCH_AFTER_S) co_return nb::none();
    object touching = link.connection.attr("execute")("SELECT 1");
    co_await on_database(link, std::move(touching));
    co_return nb::none();
}

/// Sleep `seconds`, touching the connection as it goes.
Coro rest(Link& link, double seconds) {
    const double until = steady_seconds() + seconds;
    for (double left = seconds; left > 0; left = until - steady_seconds()) {
        object sleeping = bound::asyncio().attr("sleep")(std::min(left, TOUCH_AFTER_S));
        co_await std::move(sleeping);
        co_await touch(link);
    }
    co_return nb::none();
}

/// Run `statement` (a DELETE of at most DELETE_CHUNK rows) with `argument` until it deletes
/// fewer; the rows deleted.
Coro delete_in_chunks(Link& link, const char* statement, object argument) {
    Held held_argument = std::move(argument);
    long long total = 0;
    for (;;) {
        object deleting = link.connection.attr("execute")(statement, held_argument);
        Held status = co_await on_database(link, std::move(deleting));  // "DELETE <n>"
        const std::string tag = text(status);
        const long long deleted = std::stoll(tag.substr(tag.rfind(' ') + 1));
        total += deleted;
        if (deleted < DELETE_CHUNK) co_return nb::int_(total);
    }
}

/// The change log's retention as set now (CHANGE_RETENTION_S), and never shorter than the
/// longest lifetime of a cached entry (a centroid's, twice CACHE_TTL_LONG): a change older than
/// that reaches no tile, since every tile cached before it has expired.
double retention_s() {
    const double longest = 2 * number(bound::CACHE_TTL_LONG());
    double seconds = NAN;
    object setting = bound::CHANGE_RETENTION_S();
    OnError not_a_number;
    guarded([&] { seconds = number(setting); return object(nb::none()); }, not_a_number);
    if (!std::isfinite(seconds) || seconds < 0) {
        log("warning", "Tile change listener: CHANGE_RETENTION_S must be a number of seconds, not " +
                           text(nb::repr(setting)) + ": changes are kept for " + std::to_string(int(DEFAULT_RETENTION_S)) +
                           " s");
        seconds = DEFAULT_RETENTION_S;
    }
    return std::max(seconds, longest);
}

/// Delete the changes older than the retention.
Coro purge(Link& link) {
    const double keep = retention_s();
    Held purged = co_await delete_in_chunks(link, PURGE_SQL, nb::float_(keep));
    const long long count = nb::cast<long long>(purged);
    if (count > 0)
        log("info", "Tile change listener: " + std::to_string(count) + " change" + (count == 1 ? "" : "s") +
                        " older than " + std::to_string((long long)keep) +
                        " s purged from the change log (every tile cached before them has expired)");
    co_return nb::none();
}

/// Whether Redis's eviction policy, as read when the listener started, may evict the layers'
/// box indexes (and generations): an allkeys-* policy.
bool index_evictable = false;

/// `error` is Redis refusing a write at its memory bound ("OOM command not allowed ...").
bool is_out_of_memory(const nb::python_error& error) {
    object exceptions = nb::module_::import_("redis.exceptions");
    if (nb::hasattr(exceptions, "OutOfMemoryError") &&
        PyObject_IsInstance(error.value().ptr(), exceptions.attr("OutOfMemoryError").ptr()) == 1)
        return true;
    return PyObject_IsInstance(error.value().ptr(), exceptions.attr("ResponseError").ptr()) == 1 &&
           text(error.value()).rfind("OOM", 0) == 0;
}

/// `error` came from Redis: its own errors, a connection's, a time-out.
bool is_redis_error(const nb::python_error& error) {
    object exceptions = nb::module_::import_("redis.exceptions");
    return PyObject_IsInstance(error.value().ptr(), exceptions.attr("RedisError").ptr()) == 1 ||
           error.matches(PyExc_OSError) || error.matches(PyExc_TimeoutError);
}

/// Await `body` with a C++ exception out of it (a failed cast of an odd answer) raised as the
/// Python error it stands for, so that it is handled as every other.
Coro as_python(Coro body) {
    std::exception_ptr cpp_error;
    try {
        co_return co_await std::move(body);
    } catch (nb::python_error&) {
        throw;
    } catch (...) {
        cpp_error = std::current_exception();
    }
    restore_cpp_exception(cpp_error);
    raise_current();
}

/// A command of the listener's: under REDIS_CALL_S, after a touch of a quiet connection.
Coro touched(Link& link, object call) {
    Held pending = std::move(call);
    co_await touch(link);
    Coro waiting = within(object(pending), REDIS_CALL_S);
    co_return co_await std::move(waiting);
}

/// The Redis side of changes to one layer: counts for the log, and the connection to touch.
struct Removal : RemovalCount {
    Link* link;
    SendCommand send;
    explicit Removal(Link* l) : link(l), send([l](object call) { return touched(*l, std::move(call)); }) {}
};

/// One Redis command of a removal, counted.
Coro command(Removal* removal, object call) {
    Held answer = co_await removal->send(std::move(call));
    ++removal->commands;
    co_return object(answer);
}

/// The layer's bounding-box entries. Their index (a sorted set of their keys; a plain set as an
/// older write kept it) is read a page at a time: each page's names are removed from the index,
/// then its entries unlinked. Without an index, entries may still exist when Redis evicted it
/// (under an allkeys-* policy, as read when the listener started): they are then found by SCAN.
Coro unlink_indexed(handle client, std::string layer, Removal* removal) {
    Held index = pystr(bbox_index_key(layer));
    object typing = nb::borrow(client).attr("type")(index);
    const std::string kind = redis_text(co_await command(removal, std::move(typing)));
    if (kind == "zset" || kind == "set") {
        const bool sorted = kind == "zset";
        Held cursor = nb::int_(0);
        do {
            object scanning = nb::borrow(client).attr(sorted ? "zscan" : "sscan")(index, cursor,
                                                                                 nb::arg("count") = SCAN_COUNT);
            Held page = co_await command(removal, std::move(scanning));
            cursor = item(page, nb::int_(0));
            std::vector<std::string> keys;
            for (handle member : item(page, nb::int_(1)))  // (name, score) of a sorted set, the name of a set
                keys.push_back(sorted ? redis_text(item(member, nb::int_(0))) : redis_text(member));
            if (keys.empty()) continue;
            // The names first, then the entries: a name that a write of the new generation adds
            // back in between then names an entry that either is deleted next (a miss) or stays
            // (fresh), never a live entry left out of its index.
            nb::list names;
            names.append(index);
            for (const std::string& key : keys) names.append(pystr(key));
            object forgetting = steal(PyObject_Call(nb::borrow(client).attr(sorted ? "zrem" : "srem").ptr(),
                                                    nb::tuple(names).ptr(), nullptr));
            co_await command(removal, std::move(forgetting));
            co_await unlink_keys(client, std::move(keys), removal->send, removal);
        } while (number(cursor) != 0);
        co_return nb::none();
    }
    if (kind != "none") {  // not an index: dropped
        std::vector<std::string> odd{bbox_index_key(layer)};
        co_await unlink_keys(client, std::move(odd), removal->send, removal);
    }
    // The index has no expiry, so only an allkeys-* policy can have evicted it: otherwise a
    // missing index means the layer has no box entries, and no edit spends a SCAN of the whole
    // key space on finding none.
    if (index_evictable)
        co_await unlink_matching(client, text(bound::cache().attr("namespace")) + ":bbox:" + layer + ":*", removal->send,
                                 removal);
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

/// The cached entries over some changes of `layer`: its covered tiles (all of its tiles when
/// `tiles` is empty), its centroid and its bounding-box entries.
Coro unlink_entries(handle client, std::string layer, const std::optional<std::vector<std::string>>* tiles,
                    Removal* removal) {
    const std::string prefix = text(bound::cache().attr("namespace")) + ":";
    if (*tiles)
        co_await unlink_keys(client, **tiles, removal->send, removal);
    else
        co_await unlink_matching(client, prefix + layer + ":*", removal->send, removal);
    std::vector<std::string> centroid{prefix + "centroid:" + layer};
    co_await unlink_keys(client, std::move(centroid), removal->send, removal);
    co_await unlink_indexed(client, layer, removal);
    co_return nb::none();
}

/// Remove what some changes of `layer` made stale: its generation advanced first, then its
/// entries removed, then its version published. Under a Redis that refuses writes at its memory
/// bound (noeviction), which refuses the INCR but lets deletions free memory, the entries are
/// removed first, then the generation advanced, then the entries removed once more (a miss that
/// read the old generation may have stored one in between). Errors propagate.
Coro remove(std::string layer, std::optional<std::vector<std::string>> tiles, Removal* removal) {
    Held client = bound::redis_client();
    const std::vector<std::string> layers{layer};
    bool refused = false;
    OnError out_of_memory{.then = [&](const nb::python_error& e) {
        if (!is_out_of_memory(e)) throw;
        refused = true;
    }};
    co_await touch(*removal->link);
    Held advanced = co_await guarded(within(advance_generations(client, layers), REDIS_CALL_S), std::move(out_of_memory));
    ++removal->commands;
    if (refused) {
        log("warning", "Tile change listener: Redis is out of memory and refuses to advance the generation of " + layer +
                           ": its cached entries are removed first, to make room");
        co_await unlink_entries(client, layer, &tiles, removal);
        co_await touch(*removal->link);
        advanced = co_await within(advance_generations(client, layers), REDIS_CALL_S);
        ++removal->commands;
    }
    co_await unlink_entries(client, layer, &tiles, removal);
    co_await touch(*removal->link);
    co_await within(publish_versions(client, layers, object(advanced)), REDIS_CALL_S);
    removal->commands += 2;
    co_return nb::none();
}

/// Run `removing`, the Redis side of changes to `layer`: false when it failed (logged; the
/// changes stay in the log, to be applied again). A failure of the database connection, met by
/// a touch, propagates.
Coro removed(Coro removing, Link& link, std::string layer) {
    bool failed = false;
    OnError on_error{.then = [&](const nb::python_error& e) {
        if (link.failed) throw;
        failed = true;
        log("warning", (is_redis_error(e) ? "Tile change listener: Redis failed while applying the changes to " + layer
                                          : "Tile change listener: applying the changes to " + layer + " failed") +
                           " (they are kept and applied again): " + described(e.value()));
    }};
    co_await guarded(as_python(std::move(removing)), std::move(on_error));
    co_return nb::bool_(!failed);
}

std::string changes_to(long long changes, const std::string& layer) {
    return "Tile change listener: " + std::to_string(changes) + " change" + (changes == 1 ? "" : "s") + " to " + layer;
}

std::string counts(const Removal& removal) {
    return std::to_string(removal.entries) + " cached entries removed, " + std::to_string(removal.commands) +
           " Redis commands";
}

/// Why a layer's cache is cleared rather than its changes followed.
enum class Clearing { emptied, too_many_changes, too_many_tiles };

/// Clear `layer`'s cache and delete its changes, in one transaction whose snapshot, taken
/// before the generation advances, names the rows the clearing applies: a change that commits
/// later (even with a lower id, ids being given at insert) is left for the next round. False
/// when Redis failed (nothing deleted).
Coro clear_layer(Link& link, std::string layer, Clearing cause) {
    object beginning = link.connection.attr("execute")("BEGIN ISOLATION LEVEL REPEATABLE READ");
    co_await on_database(link, std::move(beginning));
    object counting = link.connection.attr("fetchrow")(LAYER_CHANGES_SQL, pystr(layer));
    Held seen = co_await on_database(link, std::move(counting));
    const long long changes = nb::cast<long long>(item(seen, "changes"));
    if (truthy(item(seen, "whole")))
        cause = Clearing::emptied;
    else if (changes > MAX_CHANGES_FOLLOWED)
        cause = Clearing::too_many_changes;
    Removal removal{&link};
    const bool applied = truthy(co_await removed(remove(layer, std::nullopt, &removal), link, layer));
    if (applied) co_await delete_in_chunks(link, LAYER_ROWS_SQL, pystr(layer));
    object ending = link.connection.attr("execute")(applied ? "COMMIT" : "ROLLBACK");
    co_await on_database(link, std::move(ending));
    if (!applied) co_return nb::bool_(false);
    const std::string why = cause == Clearing::emptied ? " (the table was emptied)"
                            : cause == Clearing::too_many_changes
                                ? " are more than " + std::to_string(MAX_CHANGES_FOLLOWED) + " to follow one by one"
                                : " reach too many tiles to follow one by one";
    log("info", changes_to(changes, layer) + why + ": the layer's cache is cleared (" + counts(removal) + ")");
    co_return nb::bool_(true);
}

/// Follow `layer`'s changes up to `last`, a batch at a time: each batch's tiles removed, then
/// its rows deleted. A batch that reaches too many tiles, or a row that stands for the whole
/// layer, turns to clearing the layer. False when Redis failed.
Coro follow_layer(Link& link, std::string layer, int min_zoom, long long last) {
    long long after = 0;
    for (;;) {
        object reading = link.connection.attr("fetch")(CHANGE_BATCH_SQL, pystr(layer), after, last, FOLLOW_BATCH);
        Held rows = co_await on_database(link, std::move(reading));
        if (nb::len(rows) == 0) co_return nb::bool_(true);
        Held ids = nb::list();
        std::vector<tiles::Box> boxes;
        bool whole = false;
        for (handle row : rows) {
            ids.attr("append")(row[nb::int_(0)]);
            after = std::max(after, nb::cast<long long>(object(row[nb::int_(0)])));
            if (row[nb::int_(1)].is_none()) {
                whole = true;
                continue;
            }
            boxes.push_back({number(row[nb::int_(1)]), number(row[nb::int_(2)]), number(row[nb::int_(3)]),
                             number(row[nb::int_(4)])});
        }
        std::optional<std::vector<std::string>> tiles;
        if (!whole) tiles = covered_tiles(layer, min_zoom, boxes);
        if (!tiles) co_return co_await clear_layer(link, layer, whole ? Clearing::emptied : Clearing::too_many_tiles);
        Removal removal{&link};
        if (!truthy(co_await removed(remove(layer, std::move(tiles), &removal), link, layer))) co_return nb::bool_(false);
        object deleting = link.connection.attr("execute")(APPLIED_SQL, ids);
        co_await on_database(link, std::move(deleting));
        log("info", changes_to((long long)nb::len(ids), layer) + ": " + counts(removal));
    }
}

/// Apply every change the log holds now, layer by layer. Gives false when Redis failed (the
/// changes stay in the log, to be applied again); database errors propagate.
Coro apply_pending(Link& link, bool* applied_any) {
    object reading = link.connection.attr("fetch")(CHANGES_BY_LAYER_SQL);
    Held layers = co_await on_database(link, std::move(reading));
    *applied_any = nb::len(layers) > 0;
    for (handle row : layers) {
        const std::string layer = text(row[nb::str("layer")]);
        object config = bound::LAYER_CONFIG().attr("get")(pystr(layer));
        if (config.is_none()) {  // a table that is no layer any more: nothing cached
            co_await delete_in_chunks(link, LAYER_ROWS_SQL, pystr(layer));
            continue;
        }
        const int min_zoom = nb::cast<int>(min_zoom_of(config));
        const bool bulk = truthy(row[nb::str("whole")]) ||
                          nb::cast<long long>(object(row[nb::str("changes")])) > MAX_CHANGES_FOLLOWED;
        const long long last = nb::cast<long long>(object(row[nb::str("last")]));
        Held applied;
        if (bulk)
            applied = co_await clear_layer(link, layer, Clearing::too_many_changes);
        else
            applied = co_await follow_layer(link, layer, min_zoom, last);
        if (!truthy(applied)) co_return nb::bool_(false);
    }
    co_return nb::bool_(true);
}

/// Wait for the advisory lock, polling; gives once this connection holds it.
Coro take_the_lock(Link& link) {
    bool announced = false;
    for (;;) {
        end_if_cancelled();
        object trying = link.connection.attr("fetchval")("SELECT pg_try_advisory_lock($1)", LISTENER_LOCK);
        if (truthy(co_await on_database(link, std::move(trying)))) co_return nb::none();
        object ending = link.connection.attr("fetchval")(END_STUCK_HOLDER_SQL, LISTENER_LOCK, double(STUCK_HOLDER_S));
        Held ended = co_await on_database(link, std::move(ending));
        if (!ended.is_none())  // its lock is free once its server process has gone: at the next poll
            log("warning", "Tile change listener: the active listener's session (server process " + text(ended) +
                               ") has not moved for " + std::to_string(STUCK_HOLDER_S) + " s: it is ended");
        if (!announced) log("info", "Tile change listener: standing by (another process applies the changes)");
        announced = true;
        object sleeping = bound::asyncio().attr("sleep")(STANDBY_POLL_S);
        co_await std::move(sleeping);
    }
}

/// As the active listener: purge the old changes (now and every PURGE_EVERY_S), apply the
/// pending ones, then each time a notification comes (or IDLE_POLL_S passes), for as long as
/// the connection works.
Coro follow_changes(Link& link) {
    Held asyncio = bound::asyncio();
    Held notified = asyncio.attr("Event")();
    object callback = nb::cpp_function([event = object(notified)](nb::args) { event.attr("set")(); });
    object listening = link.connection.attr("add_listener")(CHANNEL, callback);
    co_await on_database(link, std::move(listening));
    log("info", "Tile change listener: active");
    double retry = REDIS_RETRY_FIRST_S, next_purge = 0;
    for (;;) {
        end_if_cancelled();
        if (steady_seconds() >= next_purge) {
            co_await purge(link);
            next_purge = steady_seconds() + PURGE_EVERY_S;
        }
        notified.attr("clear")();
        bool applied_any = false;
        if (!truthy(co_await apply_pending(link, &applied_any))) {
            co_await rest(link, retry);
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

/// The session settings of the connection's limits.
Coro configure(Link& link) {
    auto seconds = [](int s) { return pystr(std::to_string(s) + "s"); };
    object setting = link.connection.attr("execute")(
        SESSION_SQL, seconds(STATEMENT_S), seconds(IDLE_SESSION_S), pystr(std::to_string(KEEPALIVE_IDLE_S)),
        pystr(std::to_string(KEEPALIVE_INTERVAL_S)), pystr(std::to_string(KEEPALIVE_COUNT)),
        pystr(std::to_string(TCP_USER_TIMEOUT_MS)));
    co_await on_database(link, std::move(setting));
    co_return nb::none();
}

/// Warn, once as the listener starts, of a Redis whose eviction policy puts freshness at risk:
/// one that may evict the generations (which never expire: only an allkeys-* policy evicts
/// them), or one that refuses writes at its memory bound (noeviction with a maxmemory).
Coro warn_of_eviction() {
    OnError unreadable{.level = "warning",
                       .message = "Tile change listener: Redis's eviction policy could not be read (it is taken for "
                                  "one that evicts only what expires): "};
    co_await guarded(
        []() -> Coro {
            object reading = bound::redis_client().attr("info")("memory");
            Coro waiting = within(std::move(reading), REDIS_CALL_S);
            Held memory = co_await std::move(waiting);
            const std::string policy = redis_text(item_or(memory, "maxmemory_policy", pystr("")));
            const double bound_bytes = number(item_or(memory, "maxmemory", nb::int_(0)));
            index_evictable = policy.rfind("allkeys-", 0) == 0;
            if (index_evictable)
                log("warning", "Tile change listener: Redis may evict the layers' generations (maxmemory-policy " + policy +
                                   "): a tile computed before an edit could then be stored after it and served until it "
                                   "expires; a volatile-* policy evicts only what expires");
            else if (policy == "noeviction" && bound_bytes > 0)
                log("warning", "Tile change listener: Redis refuses writes at its memory bound (maxmemory-policy "
                               "noeviction, maxmemory " +
                                   std::to_string((long long)bound_bytes) +
                                   "): tiles are then served uncached, and an edit's tiles are removed before its "
                                   "layer's generation can advance (a tile stored in between is removed again); a "
                                   "volatile-* policy makes room by evicting what expires");
            co_return nb::none();
        }(),
        std::move(unreadable));
    co_return nb::none();
}

/// Close a connection at once, whatever state it is in.
void terminate(handle connection) {
    OnError ignored;
    guarded([&] { return nb::borrow(connection).attr("terminate")(); }, ignored);
}

/// The exception a failure of the listener stands for: a Python error as itself, a C++ one as
/// the Python error it maps to.
object exception_of(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (nb::python_error& e) {
        return nb::borrow(e.value());
    } catch (...) {
        restore_cpp_exception(std::current_exception());
        return fetch_exception();
    }
}

/// The warning for a failure: `connecting` while the connection was being opened, or, after
/// it, a failure of the connection, of a statement (the change log missing), or another.
std::string failure_warning(handle error, bool connecting, bool database) {
    const std::string what = " (" + described(error) + "); ";
    const std::string again = std::to_string(int(RECONNECT_S)) + " s";
    if (connecting) return "Tile change listener: cannot connect to the database" + what + "trying again in " + again;
    if (!database) return "Tile change listener: stopped by an error" + what + "starting again in " + again;
    object state = nb::getattr(error, "sqlstate", nb::none());
    const std::string sqlstate = state.is_none() ? "" : text(state);
    if (sqlstate == "42P01")  // undefined_table
        return "Tile change listener: the change log \"GIS\".tile_changes is missing: run scripts/tile_changes.sql on "
               "this database" + what + "trying again in " + again;
    // No state: the connection closed, a socket's error, no answer in time; 08: a connection
    // exception; 57: the server ended the session (an administrator, a shutdown, a time-out).
    if (sqlstate.empty() || sqlstate.rfind("08", 0) == 0 || sqlstate.rfind("57", 0) == 0)
        return "Tile change listener: the database connection failed" + what + "reconnecting in " + again;
    return "Tile change listener: a statement failed" + what + "reconnecting in " + again;
}

Coro listen_for_tile_changes(Args& a) {
    handle connect = a["connect"];
    co_await warn_of_eviction();
    for (;;) {
        end_if_cancelled();
        Link link;
        bool connecting = true;
        std::exception_ptr failure;
        try {
            object connecting_call = nb::borrow(connect)();
            Coro opening = within(std::move(connecting_call), CONNECT_S);
            link.connection = co_await std::move(opening);
            connecting = false;
            co_await configure(link);
            co_await take_the_lock(link);
            co_await follow_changes(link);
        } catch (...) {
            failure = std::current_exception();
        }
        if (link.connection.is_valid() && !link.connection.is_none()) terminate(link.connection);
        if (!failure) continue;  // (follow_changes returns only by an error)
        object error = exception_of(failure);
        if (PyObject_IsInstance(error.ptr(), PyExc_Exception) != 1) std::rethrow_exception(failure);  // cancelled
        log("warning", failure_warning(error, connecting, link.failed));
        object pausing = bound::asyncio().attr("sleep")(RECONNECT_S);
        co_await std::move(pausing);
    }
}

/// VEXA_CHANGE_RETENTION_S: a number of seconds, at least 0; one day when unset.
object retention_setting() {
    object setting = ns()["os"].attr("getenv")("VEXA_CHANGE_RETENTION_S");
    if (setting.is_none()) return nb::int_((long long)DEFAULT_RETENTION_S);
    double seconds = NAN;
    OnError not_a_number;
    guarded([&] { seconds = number(builtin::float_type()(setting)); return object(nb::none()); }, not_a_number);
    if (!std::isfinite(seconds) || seconds < 0)
        raise(PyExc_ValueError, "VEXA_CHANGE_RETENTION_S must be a number of seconds, not " + text(nb::repr(setting)));
    return nb::float_(seconds);
}

}  // namespace

void define_change_listener() {
    ns().set("CHANGE_RETENTION_S", retention_setting());
    define({.name = "listen_for_tile_changes",
            .doc = "Keep the tile cache in step with the edits of the layer tables, until cancelled.\n\n"
                   "`connect` is an async callable that opens a new asyncpg connection to the database. One\n"
                   "process per database applies the changes (the holder of an advisory lock); the others stand\n"
                   "by and take over within a few seconds when it goes (its process frozen, its connection lost).\n"
                   "The connection gets a statement time-out, an idle-session time-out and TCP keepalives. Every\n"
                   "failure is logged and the listener connects again; only a cancellation ends it. Changes older\n"
                   "than CHANGE_RETENTION_S (at least twice CACHE_TTL_LONG) are purged from the log. Run it as a\n"
                   "task of the host's event loop.",
            .params = {{"connect"}},
            .return_annotation = nb::none(),
            .async_body = listen_for_tile_changes});
}

}  // namespace vexa::maptile
