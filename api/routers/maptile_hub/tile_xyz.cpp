// tile_xyz.cpp: get_tile_xyz, one vector tile of a layer at an XYZ address.
#include "cache.hpp"
#include "freshness.hpp"
#include "guards.hpp"
#include "mvt_sql.hpp"
#include "query_failure.hpp"
#include "rate_limit.hpp"
#include "responses.hpp"
#include "routes.hpp"
#include "single_flight.hpp"
#include "tile_rules.hpp"
#include "transaction.hpp"

namespace vexa::maptile {

namespace {

/// The Python list's printed form of the layers that a zoom of at most 6 can serve.
std::string layers_served_at(handle z) {
    nb::list available;
    for (auto [name, config] : nb::borrow<nb::dict>(bound::LAYER_CONFIG())) {
        if (compare(min_zoom_of(config), z, Py_LE)) available.append(name);
    }
    return available.size() ? text(available) : std::string();
}

/// What became of one layer's tile: not served at the zoom, answered from the cache, generated,
/// or generated empty.
enum class Outcome { unserved, hit, miss, empty };

/// The tile statement and zoom configuration of a layer at zoom `z` (generate_mvt_sql's pair),
/// or None when the layer is not served at that zoom, with the reason in `unserved`.
object built_tile(handle layer_name, handle z, std::string& unserved) {
    try {
        return bound::generate_mvt_sql()(layer_name, z);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        unserved = text(e.value());
        return nb::none();
    }
}

/// The log lines of a layer asked for at a zoom it is not served at.
void explain_unserved(handle layer_name, handle z, const std::string& reason) {
    log("info", "Layer " + text(layer_name) + " not available at zoom " + text(z) + ": " + reason);
    if (nb::cast<long long>(z) <= 6) {
        std::string suggestion = layers_served_at(z);
        if (!suggestion.empty()) log("info", "Try these layers at zoom " + text(z) + ": " + suggestion);
    }
}

std::string tile_cache_key(handle layer_name, handle z, handle x, handle y) {
    return text(layer_name) + ":" + text(z) + ":" + text(x) + ":" + text(y);
}

/// One layer's tile at a checked address, whose statement and zoom configuration are `built`
/// (built_tile's pair): a tuple (outcome, tile bytes or None, the zoom's cache lifetime).
/// `prefetched`, when valid, is what counted_read read: (cached tile or None, generation or
/// None); otherwise the cache and the generation are read here. With `explain`, an empty tile is
/// logged as the tile endpoint logs it.
Coro layer_tile(handle layer_name, handle z, handle x, handle y, handle db, bool explain, handle built,
                handle prefetched) {
    Held sql = item(built, nb::int_(0)), zoom_config = item(built, nb::int_(1));
    Held ttl = item(zoom_config, "cache_ttl");
    Held cache_key = pystr(tile_cache_key(layer_name, z, x, y));
    const Clock::time_point asked_at = Clock::now();  // a run finishing after this may have missed our read
    Held cached_tile, known_generation;
    if (prefetched.is_valid()) {
        cached_tile = item(prefetched, nb::int_(0));
        known_generation = item(prefetched, nb::int_(1));
    } else {
        object reading = bound::safe_cache_get()(cache_key);
        cached_tile = co_await std::move(reading);
    }
    if (truthy(cached_tile)) co_return nb::make_tuple(int(Outcome::hit), cached_tile, ttl);

    Held bbox = bound::xyz_to_bbox_web_mercator()(z, x, y);
    Held params = nb::dict();
    params["min_x"] = item(bbox, "minx");
    params["min_y"] = item(bbox, "miny");
    params["max_x"] = item(bbox, "maxx");
    params["max_y"] = item(bbox, "maxy");
    const double timeout = tiles::tile_query_timeout(double(nb::cast<long long>(z)));

    const std::string tile = text(layer_name) + "/" + text(z) + "/" + text(x) + "/" + text(y);
    const QueryFailure failure{.timeout_log = "Timeout generating tile " + tile,
                               .timeout_detail = "Tile generation timeout at zoom " + text(z),
                               .database_log = "Database error for tile " + tile + ": ",
                               .database_detail = "Database error",
                               .error_log = "Unexpected error for tile " + tile + ": ",
                               .error_detail = "Internal server error"};
    // The layer's generation is read before the query's snapshot is taken (with the cache, or
    // here): the tile is stored only if no invalidation of the layer came in between. Concurrent
    // misses of this tile share one query, and its one cache write, only within one generation:
    // a request made after an invalidation never joins a query that began before it.
    Held generation;
    if (!prefetched.is_valid()) {
        generation = co_await read_generation(text(layer_name));
    } else if (!known_generation.is_none()) {
        generation = nb::borrow(known_generation);
    }
    const std::string flight = text(cache_key) + "@" + (generation.is_valid() ? text(generation) : "unknown");
    Coro shared_query = single_flight(flight, asked_at, [&]() -> Coro {
        object statement = bound::text()(sql);
        Held generated = co_await timed_query(nb::borrow(db), std::move(statement), params, timeout, "scalar_one_or_none");
        if (truthy(generated)) co_await store_tile(cache_key, generated, ttl, text(layer_name), generation);
        co_return generated;
    });
    Held mvt_content = co_await answered(std::move(shared_query), failure);

    if (truthy(mvt_content)) co_return nb::make_tuple(int(Outcome::miss), mvt_content, ttl);
    if (explain) log("info", "Empty tile generated for " + tile + " - bbox: " + text(bbox));
    co_return nb::make_tuple(int(Outcome::empty), nb::none(), ttl);
}

Outcome outcome_of(handle tile) { return Outcome(nb::cast<int>(item(tile, nb::int_(0)))); }

Coro get_tile_xyz(Args& a) {
    handle layer_name = a["layer_name"], z = a["z"], x = a["x"], y = a["y"], request = a["request"];
    const std::string rate_key = "rate_limit:gis:" + client_address(request);
    const char* detail = "Too many map requests. Please slow down panning.";

    // The checks need no Redis: made first, so that the count and the cache read can be one
    // round trip; answered after the count, in their order (429, then 404, then 400).
    const bool known = contains(bound::LAYER_CONFIG(), layer_name);
    const bool valid = known && truthy(bound::validate_tile_coords()(z, x, y));
    std::string unserved;
    Held built = valid ? built_tile(layer_name, z, unserved) : object(nb::none());
    Held prefetched;
    if (!built.is_none())
        prefetched = co_await counted_read(rate_key, 40, detail, pystr(tile_cache_key(layer_name, z, x, y)),
                                           generation_key(text(layer_name)));
    if (!prefetched.is_valid()) co_await enforce_rate_limit(rate_key, 40, detail, true);

    require_layer(layer_name);
    if (!valid) raise_http(400, "Invalid tile coordinates: z=" + text(z) + ", x=" + text(x) + ", y=" + text(y));
    if (built.is_none()) {
        explain_unserved(layer_name, z, unserved);
        co_return no_content();
    }

    Held tile = co_await layer_tile(layer_name, z, x, y, a["db"], true, built, prefetched);
    switch (outcome_of(tile)) {
        case Outcome::hit: co_return cached_tile_answer(item(tile, nb::int_(1)), item(tile, nb::int_(2)));
        case Outcome::miss: co_return tile_response(item(tile, nb::int_(1)), nb::dict());
        default: co_return no_content();
    }
}

/// One tile holding every layer served at its zoom, in catalogue order: the layers' own tiles
/// (cached and generated as for each layer alone) one after the other, which a vector tile
/// reader takes as one tile of several layers. Counted as one request by the rate limit.
Coro get_all_layers_tile(Args& a) {
    handle z = a["z"], x = a["x"], y = a["y"], request = a["request"];

    co_await enforce_rate_limit("rate_limit:gis:" + client_address(request), 40,
                                "Too many map requests. Please slow down panning.", true);
    if (!truthy(bound::validate_tile_coords()(z, x, y)))
        raise_http(400, "Invalid tile coordinates: z=" + text(z) + ", x=" + text(x) + ", y=" + text(y));

    Held layers = nb::list(bound::LAYER_CONFIG());
    Held parts = nb::list();
    bool all_cached = true;
    Held shortest_ttl = nb::none();
    for (handle layer_name : layers) {
        std::string unserved;
        Held built = built_tile(layer_name, z, unserved);
        if (built.is_none()) continue;
        Held tile = co_await layer_tile(layer_name, z, x, y, a["db"], false, built, handle());
        const Outcome outcome = outcome_of(tile);
        all_cached = all_cached && outcome == Outcome::hit;
        object ttl = item(tile, nb::int_(2));
        if (shortest_ttl.is_none() || compare(ttl, shortest_ttl, Py_LT)) shortest_ttl = ttl;
        if (outcome == Outcome::hit || outcome == Outcome::miss) nb::borrow<nb::list>(parts).append(item(tile, nb::int_(1)));
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
