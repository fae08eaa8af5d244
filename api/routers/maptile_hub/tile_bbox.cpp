// tile_bbox.cpp: get_tile_bbox, one vector tile for an arbitrary box in EPSG:4326 or 3857.
#include "module.hpp"
#include "tile_rules.hpp"

#include <cmath>

namespace vexa::maptile {

namespace {

const char* const TRANSFORM_SQL = R"(
        SELECT 
            ST_XMin(bbox_3857) as min_x, ST_YMin(bbox_3857) as min_y,
            ST_XMax(bbox_3857) as max_x, ST_YMax(bbox_3857) as max_y
        FROM (
            SELECT ST_Transform(
                ST_MakeEnvelope(:x1, :y1, :x2, :y2, :input_srid), 3857
            ) as bbox_3857
        ) as sub
    )";

std::string bbox_sql(const std::string& layer_name, const std::string& table, const std::string& id_col,
                     const std::string& geom_col, const std::string& properties, const std::string& geom_expr) {
    std::string sql;
    sql += "\n    SELECT ST_AsMVT(mvt_data, '";
    sql += layer_name;
    sql += "', 4096, 'mvt_geom') AS mvt\n    FROM (\n        SELECT ";
    sql += properties;
    sql += ",\n            ";
    sql += id_col;
    sql += " AS feature_id,\n            ST_AsMVTGeom(\n                ";
    sql += geom_expr;
    sql += ",\n                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),\n                4096,\n"
           "                32,\n                true\n            ) AS mvt_geom\n        FROM ";
    sql += table;
    sql += "\n        WHERE ";
    sql += geom_col;
    sql += " && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n            AND ST_Intersects(";
    sql += geom_col;
    sql += ", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))\n        ORDER BY ST_Area(";
    sql += geom_col;
    sql += ") DESC\n        LIMIT :max_features\n    ) AS mvt_data\n    WHERE mvt_data.mvt_geom IS NOT NULL\n    ";
    return sql;
}

Coro get_tile_bbox(Args& a) {
    handle layer_name = a["layer_name"], minx = a["minx"], miny = a["miny"], maxx = a["maxx"], maxy = a["maxy"],
           srid = a["srid"], max_features = a["max_features"], simplify = a["simplify"], request = a["request"],
           db = a["db"];

    if (!request.is_none())
        co_await enforce_rate_limit("rate_limit:gis:bbox:" + client_address(request), 20,
                                    "Too many bbox requests.", false);

    if (!contains(ns["LAYER_CONFIG"], layer_name))
        raise_http(404, "Layer '" + text(layer_name) + "' not found");
    // Compared as Python integers: a query value may be of any size.
    const long long srid_value = compare(srid, nb::int_(4326), Py_EQ) ? 4326 : compare(srid, nb::int_(3857), Py_EQ) ? 3857 : 0;
    if (srid_value == 0)
        raise_http(400, "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported");

    const double x0 = number(minx), y0 = number(miny), x1 = number(maxx), y1 = number(maxy);
    if (srid_value == 4326) {
        if (!(-180 <= x0 && x0 <= 180 && -180 <= x1 && x1 <= 180)) raise_http(400, "Invalid longitude values");
        if (!(-90 <= y0 && y0 <= 90 && -90 <= y1 && y1 <= 90)) raise_http(400, "Invalid latitude values");
        object bbox_area = ns["calculate_bbox_area_degrees"](minx, miny, maxx, maxy);
        if (compare(bbox_area, ns["MAX_BBOX_AREA_WGS84"], Py_GT))
            raise_http(400, "Bounding box too large. Maximum area: " + text(ns["MAX_BBOX_AREA_WGS84"]) +
                                " square degrees");
    }
    // Neither a cache key nor an envelope can be made of a NaN or an infinity.
    if (!(std::isfinite(x0) && std::isfinite(y0) && std::isfinite(x1) && std::isfinite(y1)))
        raise_http(400, "Bounding box values must be finite numbers");

    // A LIMIT of zero or less would fail in the database; refuse it here.
    if (!compare(max_features, nb::int_(0), Py_GT))
        raise_http(400, "max_features must be a positive integer");
    object global_cap = ns["MAX_FEATURES_GLOBAL"];
    object capped = compare(max_features, global_cap, Py_LT) ? nb::borrow(max_features)
                                                                                                     : global_cap;

    object min_x = nb::borrow(minx), min_y = nb::borrow(miny), max_x = nb::borrow(maxx), max_y = nb::borrow(maxy);
    if (srid_value != 3857) {
        try {
            nb::dict bind;
            bind["x1"] = minx;
            bind["y1"] = miny;
            bind["x2"] = maxx;
            bind["y2"] = maxy;
            bind["input_srid"] = srid;
            object result = co_await db.attr("execute")(ns["text"](TRANSFORM_SQL), bind);
            object coords = result.attr("first")();
            min_x = coords.attr("min_x");
            min_y = coords.attr("min_y");
            max_x = coords.attr("max_x");
            max_y = coords.attr("max_y");
            for (handle v : {min_x, min_y, max_x, max_y})
                if (!std::isfinite(number(v))) raise(PyExc_ValueError, "transformed bounds are not finite");
        } catch (nb::python_error& e) {
            if (!is_exception(e)) throw;
            log("error", "Coordinate transformation error: " + text(e.value()));
            raise_http(400, "Invalid coordinate transformation");
        }
    }

    nb::str cache_key = pystr("bbox:" + text(layer_name) + ":" + formatted(min_x, ".0f") + ":" +
                              formatted(min_y, ".0f") + ":" + formatted(max_x, ".0f") + ":" +
                              formatted(max_y, ".0f") + ":" + text(capped) + ":" + text(simplify));
    nb::str ttl_header = pystr("public, max-age=" + text(ns["CACHE_TTL_SHORT"]));
    object cached_tile = co_await ns["safe_cache_get"](cache_key, nb::arg("timeout") = 2.0);
    if (truthy(cached_tile)) {
        nb::dict headers;
        headers["Cache-Control"] = ttl_header;
        headers["X-Cache"] = "HIT";
        co_return tile_response(cached_tile, headers);
    }

    object layer_config = item(ns["LAYER_CONFIG"], layer_name);
    const std::string geom_col = text(item(layer_config, "geom_col"));
    std::vector<std::string> columns;
    for (handle column : item(layer_config, "properties")) columns.push_back(text(column));
    object bbox_area = srid_value == 4326 ? ns["calculate_bbox_area_degrees"](minx, miny, maxx, maxy)
                                          : object(nb::float_(0.01));
    const bool simplified =
        truthy(simplify) && compare(bbox_area, nb::float_(0.01), Py_GT);
    const std::string geom_expr = simplified ? "ST_SimplifyPreserveTopology(" + geom_col + ", 50)" : geom_col;
    const std::string sql = bbox_sql(text(layer_name), text(item(layer_config, "table")),
                                     text(item(layer_config, "id_col")), geom_col, tiles::join_columns(columns),
                                     geom_expr);
    nb::dict params;
    params["min_x"] = min_x;
    params["min_y"] = min_y;
    params["max_x"] = max_x;
    params["max_y"] = max_y;
    params["max_features"] = capped;

    const QueryFailure failure{.timeout_log = "Timeout generating bbox tile for " + text(layer_name),
                               .timeout_detail = "Query timeout",
                               .error_log = "Error generating bbox tile for " + text(layer_name) + ": ",
                               .error_detail = "Internal server error"};
    object mvt_content =
        co_await answered(timed_query(nb::borrow(db), ns["text"](pystr(sql)), params, 20.0, "scalar_one_or_none"), failure);

    if (!truthy(mvt_content)) co_return no_content();
    co_await ns["safe_cache_set"](cache_key, mvt_content, ns["CACHE_TTL_SHORT"]);
    nb::dict headers;
    headers["Cache-Control"] = ttl_header;
    headers["X-Cache"] = "MISS";
    co_return tile_response(mvt_content, headers);
}

object described_query(handle fallback, const char* description) {
    return ns["Query"](fallback, nb::arg("description") = description);
}

}  // namespace

object make_get_tile_bbox() {
    object str_type = builtin::str_type(), int_type = builtin::int_type(), float_type = builtin::float_type(),
           bool_type = builtin::bool_type();
    handle required = Py_Ellipsis;
    return define({.name = "get_tile_bbox",
                   .doc = "Serve vector tiles for custom bounding box.",
                   .params = {{"layer_name", str_type},
                              {"minx", float_type, described_query(required, "Bounding box minimum X")},
                              {"miny", float_type, described_query(required, "Bounding box minimum Y")},
                              {"maxx", float_type, described_query(required, "Bounding box maximum X")},
                              {"maxy", float_type, described_query(required, "Bounding box maximum Y")},
                              {"srid", int_type, described_query(nb::int_(4326), "SRID of input bbox")},
                              {"max_features", int_type, described_query(nb::int_(5000), "Maximum features to return")},
                              {"simplify", bool_type, described_query(Py_True, "Apply geometry simplification")},
                              {"request", ns["Request"], nb::none()},
                              {"db", ns["AsyncSession"], ns["Depends"](ns["get_db"])}},
                   .async_body = get_tile_bbox});
}

}  // namespace vexa::maptile
