// tile_xyz.cpp: get_tile_xyz, one vector tile of a layer at an XYZ address.
#include "cache.hpp"
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

Coro get_tile_xyz(Args& a) {
    handle layer_name = a["layer_name"], z = a["z"], x = a["x"], y = a["y"], request = a["request"], db = a["db"];

    co_await enforce_rate_limit("rate_limit:gis:" + client_address(request), 40,
                                "Too many map requests. Please slow down panning.", true);

    require_layer(layer_name);
    if (!truthy(bound::validate_tile_coords()(z, x, y)))
        raise_http(400, "Invalid tile coordinates: z=" + text(z) + ", x=" + text(x) + ", y=" + text(y));

    Held sql, zoom_config;
    try {
        object built = bound::generate_mvt_sql()(layer_name, z);
        sql = item(built, nb::int_(0));
        zoom_config = item(built, nb::int_(1));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        log("info", "Layer " + text(layer_name) + " not available at zoom " + text(z) + ": " + text(e.value()));
        if (nb::cast<long long>(z) <= 6) {
            std::string suggestion = layers_served_at(z);
            if (!suggestion.empty()) log("info", "Try these layers at zoom " + text(z) + ": " + suggestion);
        }
        co_return no_content();
    }

    Held cache_key = pystr(text(layer_name) + ":" + text(z) + ":" + text(x) + ":" + text(y));
    const Clock::time_point asked_at = Clock::now();  // a run finishing after this may have missed our read
    object reading = bound::safe_cache_get()(cache_key);
    Held cached_tile = co_await std::move(reading);
    if (truthy(cached_tile)) co_return cached_tile_answer(cached_tile, item(zoom_config, "cache_ttl"));

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
    // Concurrent misses of this tile share one query, and its one cache write.
    Coro shared_query = single_flight(text(cache_key), asked_at, [&]() -> Coro {
        object statement = bound::text()(sql);
        Held generated = co_await timed_query(nb::borrow(db), std::move(statement), params, timeout, "scalar_one_or_none");
        if (truthy(generated)) {
            object storing = bound::safe_cache_set()(cache_key, generated, item(zoom_config, "cache_ttl"));
            co_await std::move(storing);
        }
        co_return generated;
    });
    Held mvt_content = co_await answered(std::move(shared_query), failure);

    if (truthy(mvt_content)) co_return tile_response(mvt_content, nb::dict());
    log("info", "Empty tile generated for " + tile + " - bbox: " + text(bbox));
    co_return no_content();
}

}  // namespace

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
