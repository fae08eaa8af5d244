// tile_xyz.cpp: get_tile_xyz, one vector tile of a layer at an XYZ address, and
// get_all_layers_tile, every layer served at the zoom in one tile.
#include "admission.hpp"
#include "cache/cache.hpp"
#include "cache/freshness.hpp"
#include "guards.hpp"
#include "startup.hpp"
#include "sql/query_failure.hpp"
#include "cache/rate_limit.hpp"
#include "responses.hpp"
#include "cache/single_flight.hpp"
#include "core/tile_rules.hpp"
#include "sql/transaction.hpp"

#include <unordered_map>

namespace vexa::maptile {

namespace {

/// The tile endpoints' rate limit: per client address, TILE_RATE_LIMIT requests a second.
constexpr long long TILE_RATE_LIMIT = 40;
constexpr const char* TILE_RATE_DETAIL = "Too many map requests. Please slow down panning.";

std::string tile_rate_key(handle request) { return "rate_limit:gis:" + client_address(request); }

[[noreturn]] void raise_invalid_address(handle z, handle x, handle y) {
    raise_http(400, "Invalid tile coordinates: z=" + text(z) + ", x=" + text(x) + ", y=" + text(y));
}

/// The Python list's printed form of the layers that a zoom of at most 6 can serve.
std::string layers_served_at(handle z) {
    nb::list available;
    for (auto [name, config] : nb::borrow<nb::dict>(bound::LAYER_CONFIG())) {
        if (compare(min_zoom_of(config), z, Py_LE)) available.append(name);
    }
    return available.size() ? text(available) : std::string();
}

/// The log lines of a layer asked for at a zoom it is not served at.
void explain_unserved(handle layer_name, handle z, const std::string& reason) {
    log("info", "Layer " + text(layer_name) + " not available at zoom " + text(z) + ": " + reason);
    if (nb::cast<long long>(z) <= 6) {
        std::string suggestion = layers_served_at(z);
        if (!suggestion.empty()) log("info", "Try these layers at zoom " + text(z) + ": " + suggestion);
    }
}

/// One layer's tile address, its texts made once.
struct TileAt {
    handle layer_name, z, x, y;
    std::string layer = text(layer_name);
    std::string path = layer + "/" + text(z) + "/" + text(x) + "/" + text(y);
    std::string cache_key = layer + ":" + text(z) + ":" + text(x) + ":" + text(y);
};

/// A layer's statement at a zoom and the zoom's cache lifetime (generate_mvt_sql's pair), or
/// why the layer is not served at that zoom.
struct BuiltTile {
    Held sql;
    Held ttl;
    std::string unserved;
};

void build_tile(const TileAt& at, BuiltTile& out) {
    try {
        object built = bound::generate_mvt_sql()(at.layer_name, at.z);
        out.sql = item(built, nb::int_(0));
        out.ttl = item(item(built, nb::int_(1)), "cache_ttl");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        out.unserved = text(e.value());
    }
}

/// Tiles this worker found empty, by cache key: the generation of their layer they were found
/// empty in, and until when. An empty tile is not cached in Redis, so without this every
/// request for it would run its query again. Every change of a layer advances its generation,
/// so an entry of another generation is asked again at once; EMPTY_TILE_KEPT_S bounds what a
/// Redis that lost its data (its generations back at 0) can leave believed.
struct EmptyTiles {
    struct Entry {
        std::string generation;
        double until;
    };
    std::unordered_map<std::string, Entry> entries;
};
constexpr size_t MAX_EMPTY_TILES = 50000;  // about 5 MB; past it the table starts afresh
constexpr double EMPTY_TILE_KEPT_S = 30.0;

EmptyTiles& empty_tiles() { return kept<EmptyTiles>(); }

bool known_empty(const std::string& cache_key, const std::string& generation) {
    auto& entries = empty_tiles().entries;
    auto found = entries.find(cache_key);
    if (found == entries.end()) return false;
    if (found->second.generation == generation && found->second.until > steady_seconds()) return true;
    entries.erase(found);
    return false;
}

void remember_empty(const std::string& cache_key, const std::string& generation) {
    auto& entries = empty_tiles().entries;
    if (entries.size() >= MAX_EMPTY_TILES) entries.clear();
    entries[cache_key] = {generation, steady_seconds() + EMPTY_TILE_KEPT_S};
}

void log_empty(const TileAt& at) {
    log("info", "Empty tile generated for " + at.path + " - bbox: " + text(bound::xyz_to_bbox_web_mercator()(at.z, at.x, at.y)));
}

/// What became of one layer's tile: answered from the cache, generated, or generated empty.
enum class Outcome { hit, miss, empty };

struct LayerTile {
    Outcome outcome = Outcome::empty;
    Held bytes;  // the tile of a hit or a miss
};

/// Run the tile's statement over the tile's box and store a non-empty result, unless its layer
/// was invalidated after `generation` was read.
Coro generate_tile(const TileAt& at, handle db, const BuiltTile& built, handle cache_key, handle generation) {
    Held bbox = bound::xyz_to_bbox_web_mercator()(at.z, at.x, at.y);
    Held params = nb::dict();
    params["min_x"] = item(bbox, "minx");
    params["min_y"] = item(bbox, "miny");
    params["max_x"] = item(bbox, "maxx");
    params["max_y"] = item(bbox, "maxy");
    object statement = bound::text()(built.sql);
    const double timeout = tiles::tile_query_timeout(double(nb::cast<long long>(at.z)));
    Held generated = co_await timed_query(nb::borrow(db), std::move(statement), params, timeout, "scalar_one_or_none");
    if (truthy(generated)) co_await store_tile(cache_key, generated, built.ttl, at.layer, generation);
    co_return generated;
}

/// One layer's tile at a checked address: from the cache (read by the rate count's round trip
/// when `prefetched` holds it), empty when this worker found it empty in its layer's current
/// generation, else generated. Concurrent misses of the tile share one query,
/// and its one cache write, only within one generation of its layer: the generation is read
/// before the query's snapshot is taken, and a request made after an invalidation never joins a
/// query that began before it. With `explain`, an empty tile is logged as the tile endpoint logs it.
Coro layer_tile(const TileAt& at, handle db, const BuiltTile& built, const CountedRead& prefetched, bool explain,
                LayerTile& out) {
    Held cache_key = pystr(at.cache_key);
    const Clock::time_point asked_at = Clock::now();  // a run finishing after this may have missed our read
    Held cached = co_await read_tile(cache_key, prefetched.read ? handle(prefetched.tile) : handle());
    if (truthy(cached)) {
        out.outcome = Outcome::hit;
        out.bytes = nb::borrow(cached);
        co_return nb::none();
    }

    Held generation;
    if (!prefetched.read) generation = co_await read_generation(at.layer);
    else if (!prefetched.generation.is_none()) generation = nb::borrow(prefetched.generation);
    const std::string generation_text = generation.is_valid() ? text(generation) : std::string();
    if (!generation_text.empty() && known_empty(at.cache_key, generation_text)) {
        if (explain) log_empty(at);
        co_return nb::none();
    }
    const std::string flight = at.cache_key + "@" + (generation_text.empty() ? "unknown" : generation_text);
    const QueryFailure failure{.timeout_log = "Timeout generating tile " + at.path,
                               .timeout_detail = "Tile generation timeout at zoom " + text(at.z),
                               .database_log = "Database error for tile " + at.path + ": ",
                               .database_detail = "Database error",
                               .error_log = "Unexpected error for tile " + at.path + ": ",
                               .error_detail = "Internal server error"};
    Coro shared = single_flight(flight, asked_at, [&] { return generate_tile(at, db, built, cache_key, generation); });
    Held generated = co_await answered(std::move(shared), failure);

    if (truthy(generated)) {
        out.outcome = Outcome::miss;
        out.bytes = nb::borrow(generated);
        co_return nb::none();
    }
    if (!generation_text.empty()) remember_empty(at.cache_key, generation_text);
    if (explain) log_empty(at);
    co_return nb::none();
}

Coro get_tile_xyz(Args& a) {
    const TileAt at{a["layer_name"], a["z"], a["x"], a["y"]};
    const std::string rate_key = tile_rate_key(a["request"]);

    // The checks need no Redis: made first, so that the count and the cache read can be one
    // round trip; answered after the count, in their order (429, then 404, then 400).
    const bool known = contains(bound::LAYER_CONFIG(), at.layer_name);
    const bool valid = known && truthy(bound::validate_tile_coords()(at.z, at.x, at.y));
    BuiltTile built;
    if (valid) build_tile(at, built);
    const bool served = valid && built.unserved.empty();
    CountedRead prefetched;
    if (served)
        co_await counted_read(rate_key, TILE_RATE_LIMIT, TILE_RATE_DETAIL, pystr(at.cache_key), generation_key(at.layer),
                              prefetched);
    if (!prefetched.read) co_await enforce_rate_limit(rate_key, TILE_RATE_LIMIT, TILE_RATE_DETAIL, true);

    require_layer(at.layer_name);
    if (!valid) raise_invalid_address(at.z, at.x, at.y);
    if (!served) {
        explain_unserved(at.layer_name, at.z, built.unserved);
        co_return no_content();
    }

    LayerTile tile;
    co_await layer_tile(at, a["db"], built, prefetched, true, tile);
    if (tile.outcome == Outcome::hit) co_return cached_tile_answer(tile.bytes, built.ttl);
    if (tile.outcome == Outcome::miss) co_return tile_response(tile.bytes, nb::dict());
    co_return no_content();
}

/// One tile holding every layer served at its zoom, in catalogue order: the layers' own tiles
/// (cached and generated as for each layer alone) one after the other, which a vector tile
/// reader takes as one tile of several layers. Counted as one request by the rate limit; when
/// any layer's tile is not cached, it is expensive work: admitted and charged by the client's
/// cost budget for the time its statements take, in one of the host's slots of database work.
Coro get_all_layers_tile(Args& a) {
    handle z = a["z"], x = a["x"], y = a["y"];

    const std::string address = client_address(a["request"]);
    co_await enforce_rate_limit("rate_limit:gis:" + address, TILE_RATE_LIMIT, TILE_RATE_DETAIL, true);
    if (!truthy(bound::validate_tile_coords()(z, x, y))) raise_invalid_address(z, x, y);

    // The layers served at the zoom, their statements, and whether the cache holds all their tiles.
    Held layers = nb::list(), statements = nb::list(), lifetimes = nb::list(), cached = nb::list();
    bool all_cached = true;
    for (handle layer_name : nb::list(bound::LAYER_CONFIG())) {
        const TileAt at{layer_name, z, x, y};
        BuiltTile built;
        build_tile(at, built);
        if (!built.unserved.empty()) continue;
        nb::borrow<nb::list>(layers).append(layer_name);
        nb::borrow<nb::list>(statements).append(built.sql);
        nb::borrow<nb::list>(lifetimes).append(built.ttl);
        Held tile = co_await read_tile(pystr(at.cache_key), handle());
        all_cached = all_cached && truthy(tile);
        nb::borrow<nb::list>(cached).append(tile);
    }

    Held parts = nb::list();
    Held shortest_ttl = nb::none();
    auto assemble = [&]() -> Coro {
        const CountedRead not_read;
        for (size_t i = 0; i < nb::len(layers); ++i) {
            const TileAt at{item(layers, nb::int_(i)), z, x, y};
            BuiltTile built;
            built.sql = item(statements, nb::int_(i));
            built.ttl = item(lifetimes, nb::int_(i));
            LayerTile tile;
            Held found = item(cached, nb::int_(i));
            if (truthy(found)) {
                tile.outcome = Outcome::hit;
                tile.bytes = nb::borrow(found);
            } else {
                co_await layer_tile(at, a["db"], built, not_read, false, tile);
            }
            if (shortest_ttl.is_none() || compare(built.ttl, shortest_ttl, Py_LT)) shortest_ttl = nb::borrow(built.ttl);
            if (tile.outcome != Outcome::empty) nb::borrow<nb::list>(parts).append(tile.bytes);
        }
        co_return nb::none();
    };
    if (all_cached) {
        co_await assemble();
    } else {
        Coro generating = assemble();
        co_await expensive_work(address, std::move(generating));
    }
    if (nb::len(parts) == 0) co_return no_content();
    object content = nb::bytes("").attr("join")(parts);
    if (all_cached) co_return cached_tile_answer(content, shortest_ttl);
    co_return tile_response(content, nb::dict());
}

}  // namespace

object make_get_all_layers_tile() {
    object int_type = builtin::int_type();
    return define({.name = "get_all_layers_tile",
                   .doc = "Serve one vector tile holding every layer served at its zoom.",
                   .params = {{"z", int_type},
                              {"x", int_type},
                              {"y", int_type},
                              {"request", ns()["Request"]},
                              {"db", ns()["AsyncSession"], ns()["Depends"](ns()["get_db"])}},
                   .async_body = get_all_layers_tile});
}

object make_get_tile_xyz() {
    object str_type = builtin::str_type(), int_type = builtin::int_type();
    return define({.name = "get_tile_xyz",
                   .doc = "Serve vector tiles with proper zoom-out support.",
                   .params = {{"layer_name", str_type},
                              {"z", int_type},
                              {"x", int_type},
                              {"y", int_type},
                              {"request", ns()["Request"]},
                              {"db", ns()["AsyncSession"], ns()["Depends"](ns()["get_db"])}},
                   .async_body = get_tile_xyz});
}

}  // namespace vexa::maptile
