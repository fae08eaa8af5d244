// layer_info.cpp: what a map client may ask for: a layer's zoom levels, where its data lies
// and which tile to open first, the list of layers, and the service's health.
#include "cache.hpp"
#include "catalogue.hpp"
#include "guarded.hpp"
#include "guards.hpp"
#include "query_failure.hpp"
#include "responses.hpp"
#include "routes.hpp"
#include "sql_template.hpp"
#include "transaction.hpp"

namespace vexa::maptile {

namespace {

const char* simplification(handle tolerance) {
    if (compare(tolerance, nb::int_(500), Py_GT)) return "heavy";
    if (compare(tolerance, nb::int_(100), Py_GT)) return "moderate";
    if (compare(tolerance, nb::int_(0), Py_GT)) return "light";
    return "none";
}

Coro get_layer_zoom_info(Args& a) {
    handle layer_name = a["layer_name"];
    require_layer(layer_name);
    object config = item(bound::LAYER_CONFIG(), layer_name);
    nb::dict zoom_levels;
    for (int zoom = 1; zoom <= 20; ++zoom) {
        object zoom_config = bound::get_zoom_config()(zoom, layer_name);
        nb::dict level;
        if (!zoom_config.is_none() && truthy(zoom_config)) {
            object tolerance = item(zoom_config, "tolerance");
            level["available"] = true;
            level["tolerance"] = tolerance;
            level["feature_limit"] = item(zoom_config, "feature_limit");
            level["simplification"] = simplification(tolerance);
        } else {
            level["available"] = false;
        }
        zoom_levels[nb::int_(zoom)] = level;
    }
    nb::dict recommendations;
    recommendations["world_view"] = "Use 'lgas' or 'districts' for zoom 1-6";
    recommendations["regional_view"] = "Use 'cadzones' for zoom 4-10";
    recommendations["detailed_view"] = "Use 'plots' for zoom 8+";
    recommendations["precise_view"] = "Use 'beacons' for zoom 12+";
    nb::dict payload;
    payload["layer"] = layer_name;
    payload["min_zoom"] = min_zoom_of(config);
    payload["zoom_levels"] = zoom_levels;
    payload["recommendations"] = recommendations;
    co_return enveloped(payload);
}

/// A quoted identifier without its outermost double quotes: "GIS"."PLOT" -> GIS"."PLOT.
std::string unquoted(const std::string& identifier) {
    const size_t first = identifier.find_first_not_of('"');
    if (first == std::string::npos) return "";
    const size_t last = identifier.find_last_not_of('"');
    return identifier.substr(first, last - first + 1);
}

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

Coro get_central_tile_info(Args& a) {
    handle layer_name = a["layer_name"], db = a["db"];
    require_layer(layer_name);
    Held layer_config = item(bound::LAYER_CONFIG(), layer_name);
    const std::string geom_column = text(item(layer_config, "geom_col"));
    const std::string table = text(item(layer_config, "table"));
    Held cache_key = pystr("centroid:" + text(layer_name));

    object reading = bound::safe_cache_get()(cache_key, nb::arg("timeout") = 2.0);
    Held cached_centroid = co_await std::move(reading);
    if (truthy(cached_centroid)) {
        bool readable = true;  // an unreadable entry is recomputed below
        object centroid_data = guarded([&] { return bound::json().attr("loads")(cached_centroid.attr("decode")("utf-8")); },
                                       {.then = [&](const nb::python_error&) { readable = false; }});
        if (readable) co_return enveloped(centroid_data);
    }

    const std::string sql = tiles::fill(CENTROID_SQL, {{"table_name_literal", unquoted(table)},
                                                       {"geom_column_literal", unquoted(geom_column)}});
    const QueryFailure failure{.timeout_log = "Timeout calculating centroid for " + text(layer_name),
                               .timeout_detail = "Centroid calculation timeout",
                               .error_log = "Error calculating centroid for " + text(layer_name) + ": ",
                               .error_detail = "Database error"};
    object statement = bound::text()(pystr(sql));
    Held centroid = co_await answered(timed_query(nb::borrow(db), std::move(statement), object(), 15.0, "first"), failure);

    if (centroid.is_none() || centroid.attr("lat").is_none() || centroid.attr("lon").is_none())
        co_return bound::api_router_response()(bound::api_response()(
            nb::arg("status_code") = 404,
            nb::arg("message") = pystr("No valid geometry found for layer '" + text(layer_name) + "'")));

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
            object storing = bound::safe_cache_set()(cache_key, cache_data, ttl);
            co_await std::move(storing);
            co_return nb::none();
        }(),
        ignored);
    co_return enveloped(response_data);
}

Coro get_available_layers(Args&) {
    nb::dict layers_info;
    for (auto [name, config] : nb::borrow<nb::dict>(bound::LAYER_CONFIG())) {
        const std::string base = "/gis/" + text(name);
        nb::dict endpoints;
        endpoints["xyz"] = pystr(base + "/{z}/{x}/{y}.pbf");
        endpoints["bbox"] = pystr(base + "/bbox/");
        endpoints["info"] = pystr(base + "/");
        endpoints["zoom_info"] = pystr(base + "/zoom-info/");
        nb::dict layer;
        layer["name"] = name;
        layer["min_zoom"] = min_zoom_of(config);
        layer["properties"] = item(config, "properties");
        layer["table"] = item(config, "table");
        layer["endpoints"] = endpoints;
        layers_info[name] = layer;
    }
    nb::dict usage_guide;
    usage_guide["world_zoom_1_4"] = "Use 'lgas' layer";
    usage_guide["country_zoom_5_7"] = "Use 'districts' or 'lgas' layer";
    usage_guide["regional_zoom_6_10"] = "Use 'cadzones' layer";
    usage_guide["local_zoom_8_14"] = "Use 'plots' layer";
    usage_guide["detail_zoom_12_20"] = "Use 'beacons' layer";
    nb::dict payload;
    payload["layers"] = layers_info;
    payload["total_layers"] = nb::int_(layers_info.size());
    payload["usage_guide"] = usage_guide;
    co_return enveloped(payload);
}

Coro health_check(Args&) {
    OnError unhealthy;  // any failure of the read, its time-out included
    object read = co_await guarded(
        []() -> Coro {
            object reading = within(bound::cache().attr("get")("health_check"), 2.0);
            co_await std::move(reading);
            co_return nb::bool_(true);
        }(),
        unhealthy);
    nb::list layers;
    for (handle name : nb::borrow<nb::dict>(bound::LAYER_CONFIG()).keys()) layers.append(name);
    nb::dict content;
    content["status"] = "healthy";
    content["cache_status"] = truthy(read) ? "healthy" : "unhealthy";
    content["available_layers"] = layers;
    content["zoom_support"] = "1-20 with layer-specific minimums";
    co_return bound::JSONResponse()(content);
}

}  // namespace

object make_get_layer_zoom_info() {
    return define({.name = "get_layer_zoom_info",
                   .doc = "Get zoom level information for a layer.",
                   .params = {{"layer_name", builtin::str_type()}},
                   .async_body = get_layer_zoom_info});
}

object make_get_central_tile_info() {
    return define({.name = "get_central_tile_info",
                   .doc = "Get layer centroid and suggested tile coordinates.",
                   .params = {{"layer_name", builtin::str_type()}, {"db", ns()["AsyncSession"], ns()["Depends"](ns()["get_db"])}},
                   .async_body = get_central_tile_info});
}

object make_get_available_layers() {
    return define({.name = "get_available_layers",
                   .doc = "Get list of available layers and their configurations.",
                   .async_body = get_available_layers});
}

object make_health_check() {
    return define({.name = "health_check", .doc = "Health check endpoint for monitoring.", .async_body = health_check});
}

}  // namespace vexa::maptile
