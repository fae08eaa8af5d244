// centroid.cpp: where a layer's data lies (from PostGIS's estimate of its extent) and which
// tile to open first: get_central_tile_info, and layer_centroid for the other endpoints.
#include "centroid.hpp"

#include "cache/cache.hpp"
#include "cache/freshness.hpp"
#include "guarded.hpp"
#include "guards.hpp"
#include "sql/query_failure.hpp"
#include "responses.hpp"
#include "startup.hpp"
#include "core/sql_template.hpp"
#include "sql/transaction.hpp"

namespace vexa::maptile {

namespace {

// The layer's centroid in WGS84 and its extent in EPSG:3857, from PostGIS's statistics-based
// estimate of the extent; no row when there is no estimate.
constexpr std::string_view CENTROID_SQL = R"(
        WITH layer_stats AS (
            -- Use ST_EstimatedExtent for a fast approximation of the layer's bounding box.
            -- This is significantly more performant than ST_Extent on large tables.
            SELECT ST_EstimatedExtent('{table_name_literal}', '{geom_column_literal}') as bbox
        )
        SELECT
            -- Calculate the centroid of the estimated bbox and transform it to WGS84 (lat/lon)
            ST_Y(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lat,
            ST_X(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lon,

            -- Extract the coordinates of the estimated bounding box
            ST_XMin(bbox) as extent_minx,
            ST_YMin(bbox) as extent_miny,
            ST_XMax(bbox) as extent_maxx,
            ST_YMax(bbox) as extent_maxy
        FROM layer_stats
        -- Ensure we don't proceed if the extent could not be calculated
        WHERE bbox IS NOT NULL
    )";

object as_float(handle value) { return steal(PyNumber_Float(value.ptr())); }

}  // namespace

Coro layer_centroid(handle layer_name, handle db) {
    const tiles::LayerDef& layer = catalogued(layer_name);
    Held cache_key = pystr("centroid:" + text(layer_name));

    object reading = bound::safe_cache_get()(cache_key, nb::arg("timeout") = 2.0);
    Held cached_centroid = co_await std::move(reading);
    if (truthy(cached_centroid)) {
        bool readable = true;  // an unreadable entry is recomputed below
        object centroid_data = guarded([&] { return bound::json().attr("loads")(cached_centroid.attr("decode")("utf-8")); },
                                       {.then = [&](const nb::python_error&) { readable = false; }});
        if (readable) co_return centroid_data;
    }

    // ST_EstimatedExtent's one text naming the table: schema and table joined by a quoted point.
    const std::string table_literal = std::string(layer.schema) + "\".\"" + layer.table;
    const std::string sql = tiles::fill(CENTROID_SQL, {{"table_name_literal", table_literal},
                                                       {"geom_column_literal", layer.geom_col}});
    const QueryFailure failure{.timeout_log = "Timeout calculating centroid for " + text(layer_name),
                               .timeout_detail = "Centroid calculation timeout",
                               .error_log = "Error calculating centroid for " + text(layer_name) + ": ",
                               .error_detail = "Database error"};
    Held generation = co_await read_generation(text(layer_name));
    object statement = bound::text()(pystr(sql));
    Held centroid = co_await answered(timed_query(nb::borrow(db), std::move(statement), object(), 15.0, "first"), failure);

    if (centroid.is_none() || centroid.attr("lat").is_none() || centroid.attr("lon").is_none()) co_return nb::none();

    object tile = bound::latlon_to_xyz()(centroid.attr("lat"), centroid.attr("lon"), bound::DEFAULT_CENTROID_ZOOM());
    object z = item(tile, "z"), x = item(tile, "x"), y = item(tile, "y");
    object bbox = bound::xyz_to_bbox_web_mercator()(z, x, y);

    nb::dict centroid_wgs84;
    centroid_wgs84["latitude"] = as_float(centroid.attr("lat"));
    centroid_wgs84["longitude"] = as_float(centroid.attr("lon"));
    nb::dict extent;
    extent["minx"] = as_float(centroid.attr("extent_minx"));
    extent["miny"] = as_float(centroid.attr("extent_miny"));
    extent["maxx"] = as_float(centroid.attr("extent_maxx"));
    extent["maxy"] = as_float(centroid.attr("extent_maxy"));
    object layer_config = item(bound::LAYER_CONFIG(), layer_name);
    nb::dict config;
    config["min_zoom"] = min_zoom_of(layer_config);
    config["properties"] = item(layer_config, "properties");
    Held response_data = nb::dict();
    response_data["layer"] = layer_name;
    response_data["centroid_wgs84"] = centroid_wgs84;
    response_data["extent_web_mercator"] = extent;
    response_data["suggested_tile"] = tile;
    response_data["suggested_tile_bbox"] = bbox;
    response_data["tile_url"] =
        pystr("/gis/" + text(layer_name) + "/" + text(z) + "/" + text(x) + "/" + text(y) + ".pbf");
    response_data["layer_config"] = config;

    // The answer does not depend on the cache: a failure here is ignored.
    OnError ignored;
    co_await guarded(
        [&]() -> Coro {
            object cache_data = bound::json().attr("dumps")(response_data).attr("encode")("utf-8");
            object ttl = steal(PyNumber_Multiply(bound::CACHE_TTL_LONG().ptr(), nb::int_(2).ptr()));
            co_await store_tile(cache_key, cache_data, ttl, text(layer_name), generation);
            co_return nb::none();
        }(),
        ignored);
    co_return response_data;
}

namespace {

Coro get_central_tile_info(Args& a) {
    handle layer_name = a["layer_name"];
    require_layer(layer_name);
    Held centroid = co_await layer_centroid(layer_name, a["db"]);
    if (centroid.is_none())
        co_return bound::api_router_response()(bound::api_response()(
            nb::arg("status_code") = 404,
            nb::arg("message") = pystr("No valid geometry found for layer '" + text(layer_name) + "'")));
    co_return enveloped(centroid);
}

}  // namespace

object make_get_central_tile_info() {
    return define({.name = "get_central_tile_info",
                   .doc = "Get layer centroid and suggested tile coordinates.",
                   .params = {{"layer_name", builtin::str_type()}, {"db", ns()["AsyncSession"], ns()["Depends"](ns()["get_db"])}},
                   .async_body = get_central_tile_info});
}

}  // namespace vexa::maptile
