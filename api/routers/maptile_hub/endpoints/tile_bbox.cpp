// tile_bbox.cpp: get_tile_bbox, one vector tile for an arbitrary box in EPSG:4326 or 3857:
// the request's checks, the box in Web Mercator, then cache, query and answer.
#include "admission.hpp"
#include "sql/mvt_sql.hpp"
#include "cache/cache.hpp"
#include "cache/freshness.hpp"
#include "guarded.hpp"
#include "guards.hpp"
#include "sql/query_failure.hpp"
#include "cache/rate_limit.hpp"
#include "responses.hpp"
#include "startup.hpp"
#include "core/tile_rules.hpp"
#include "sql/transaction.hpp"

#include <cmath>

namespace vexa::maptile {

namespace {

/// The bounding-box tiles' share of this worker's database work.
struct BboxState {
    WorkSlots work{"bounding-box tiles", "BBOX_QUERY_SLOTS", "BBOX_QUERY_WAIT_S"};
};

BboxState& state() { return kept<BboxState>(); }

}  // namespace

namespace {

// The box's corners in EPSG:3857, computed by PostGIS from the corners in `input_srid`.
constexpr const char* TRANSFORM_SQL = R"(
        SELECT 
            ST_XMin(bbox_3857) as min_x, ST_YMin(bbox_3857) as min_y,
            ST_XMax(bbox_3857) as max_x, ST_YMax(bbox_3857) as max_y
        FROM (
            SELECT ST_Transform(
                ST_MakeEnvelope(:x1, :y1, :x2, :y2, :input_srid), 3857
            ) as bbox_3857
        ) as sub
    )";

/// Seconds the box's transformation may take: one envelope of four corners.
constexpr double TRANSFORM_TIMEOUT = 5.0;
/// When to ask again after the database was out of reach.
constexpr int DATABASE_RETRY_S = 5;

/// What the checks leave of a request: the reference system, the box's area in square degrees
/// (which decides its simplification) and the feature cap.
struct CheckedBox {
    long long srid;  // 4326 or 3857
    object area;     // calculate_bbox_area_degrees of the box, or of its corners in degrees
    object capped;   // max_features, at most MAX_FEATURES_GLOBAL
};

/// The request's checks, in order: the layer (404), the reference system, the degrees of a
/// 4326 box, finite numbers, the metres of a 3857 box (inside the Web Mercator square), the
/// area in square degrees (a 3857 box's corners taken back to degrees, so that it is bounded as
/// the degree box it covers), a positive feature count (400 each).
CheckedBox checked(Args& a) {
    handle layer_name = a["layer_name"], minx = a["minx"], miny = a["miny"], maxx = a["maxx"], maxy = a["maxy"],
           srid = a["srid"], max_features = a["max_features"];
    require_layer(layer_name);
    // Compared as Python integers: a query value may be of any size.
    const long long srid_value = compare(srid, nb::int_(4326), Py_EQ)   ? 4326
                                 : compare(srid, nb::int_(3857), Py_EQ) ? 3857
                                                                        : 0;
    if (srid_value == 0) raise_http(400, "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported");

    const double x0 = number(minx), y0 = number(miny), x1 = number(maxx), y1 = number(maxy);
    if (srid_value == 4326) {
        if (!(-180 <= x0 && x0 <= 180 && -180 <= x1 && x1 <= 180)) raise_http(400, "Invalid longitude values");
        if (!(-90 <= y0 && y0 <= 90 && -90 <= y1 && y1 <= 90)) raise_http(400, "Invalid latitude values");
    }
    // Neither a cache key nor an envelope can be made of a NaN or an infinity.
    if (!(std::isfinite(x0) && std::isfinite(y0) && std::isfinite(x1) && std::isfinite(y1)))
        raise_http(400, "Bounding box values must be finite numbers");
    object area;
    if (srid_value == 4326) {
        area = bound::calculate_bbox_area_degrees()(minx, miny, maxx, maxy);
    } else {
        if (!(tiles::in_web_mercator(x0, y0) && tiles::in_web_mercator(x1, y1))) {
            const std::string edge = text(nb::float_(tiles::WEB_MERCATOR_HALF_WIDTH));
            raise_http(400, "Invalid Web Mercator values: coordinates must lie between -" + edge + " and " + edge +
                                " metres");
        }
        const tiles::LonLat low = tiles::lonlat_of(x0, y0), high = tiles::lonlat_of(x1, y1);
        area = bound::calculate_bbox_area_degrees()(nb::float_(low.lon), nb::float_(low.lat), nb::float_(high.lon),
                                                    nb::float_(high.lat));
    }
    if (compare(area, bound::MAX_BBOX_AREA_WGS84(), Py_GT))
        raise_http(400, "Bounding box too large. Maximum area: " + text(bound::MAX_BBOX_AREA_WGS84()) +
                            " square degrees");
    // A LIMIT of zero or less would fail in the database; refuse it here.
    if (!compare(max_features, nb::int_(0), Py_GT)) raise_http(400, "max_features must be a positive integer");
    object global_cap = bound::MAX_FEATURES_GLOBAL();
    return {srid_value, area, compare(max_features, global_cap, Py_LT) ? nb::borrow(max_features) : global_cap};
}

/// The box's corners in EPSG:3857 as a tuple (min_x, min_y, max_x, max_y): as given for 3857,
/// transformed by PostGIS (inside db_transaction, under TRANSFORM_TIMEOUT) otherwise. A
/// transformation that fails is logged and answered 400; a database out of reach (or too slow to
/// answer) is answered 503 with Retry-After, not taken for an invalid box.
Coro web_mercator_corners(Args& a, long long srid) {
    handle minx = a["minx"], miny = a["miny"], maxx = a["maxx"], maxy = a["maxy"];
    if (srid == 3857) co_return nb::make_tuple(minx, miny, maxx, maxy);
    Held bind = nb::dict();
    bind["x1"] = minx;
    bind["y1"] = miny;
    bind["x2"] = maxx;
    bind["y2"] = maxy;
    bind["input_srid"] = a["srid"];
    const QueryFailure failure{.error_log = "Coordinate transformation error: ",
                               .error_detail = "Invalid coordinate transformation",
                               .error_status = 400,
                               .unavailable_retry_s = DATABASE_RETRY_S};
    co_return co_await answered(
        [&]() -> Coro {
            object statement = bound::text()(TRANSFORM_SQL);
            Held coords = co_await timed_query(nb::borrow(a["db"]), std::move(statement), bind, TRANSFORM_TIMEOUT, "first");
            if (coords.is_none()) raise(PyExc_ValueError, "the transformation gave no row");
            object corners = nb::make_tuple(coords.attr("min_x"), coords.attr("min_y"), coords.attr("max_x"),
                                            coords.attr("max_y"));
            for (handle v : corners)
                if (!std::isfinite(number(v))) raise(PyExc_ValueError, "transformed bounds are not finite");
            co_return corners;
        }(),
        failure);
}

/// The bounding-box statement of `layer_name` (its geometries simplified when asked for and the
/// box's `area` is larger than 0.01 square degrees, whichever system it was given in).
object box_statement(Args& a, handle area) {
    handle layer_name = a["layer_name"];
    const bool simplified = truthy(a["simplify"]) && compare(area, nb::float_(0.01), Py_GT);
    return tile_statement(layer_name, item(bound::LAYER_CONFIG(), layer_name),
                          {.tolerance = simplified ? 50 : 0, .buffer = 32, .limit = ":max_features", .exact = true});
}

Coro get_tile_bbox(Args& a) {
    handle layer_name = a["layer_name"], request = a["request"], db = a["db"];

    if (!request.is_none())
        co_await enforce_rate_limit("rate_limit:gis:bbox:" + client_address(request), 20, "Too many bbox requests.",
                                    false);

    const CheckedBox box = checked(a);
    Held capped = box.capped, area = box.area;
    // The database work from here on takes one of this worker's slots for boxes.
    co_await state().work.enter();
    Slot slot(state().work);
    Held corners = co_await web_mercator_corners(a, box.srid);
    auto corner = [&](int i) { return item(corners, nb::int_(i)); };

    Held cache_key = pystr("bbox:" + text(layer_name) + ":" + formatted(corner(0), ".0f") + ":" +
                           formatted(corner(1), ".0f") + ":" + formatted(corner(2), ".0f") + ":" +
                           formatted(corner(3), ".0f") + ":" + text(capped) + ":" + text(a["simplify"]));
    object reading = bound::safe_cache_get()(cache_key, nb::arg("timeout") = 2.0);
    Held cached_tile = co_await std::move(reading);
    if (truthy(cached_tile)) co_return cached_tile_answer(cached_tile, bound::CACHE_TTL_SHORT());

    Held params = nb::dict();
    params["min_x"] = corner(0);
    params["min_y"] = corner(1);
    params["max_x"] = corner(2);
    params["max_y"] = corner(3);
    params["max_features"] = capped;
    const QueryFailure failure{.timeout_log = "Timeout generating bbox tile for " + text(layer_name),
                               .timeout_detail = "Query timeout",
                               .error_log = "Error generating bbox tile for " + text(layer_name) + ": ",
                               .error_detail = "Internal server error"};
    Held generation = co_await read_generation(text(layer_name));
    object statement = bound::text()(box_statement(a, area));
    // A box the cache does not hold is expensive work of its client's.
    const std::string address = request.is_none() ? std::string() : client_address(request);
    Coro query = answered(timed_query(nb::borrow(db), std::move(statement), params, 20.0, "scalar_one_or_none"), failure);
    Held mvt_content = co_await expensive_work(address, std::move(query));

    if (!truthy(mvt_content)) co_return no_content();
    co_await store_tile(cache_key, mvt_content, bound::CACHE_TTL_SHORT(), text(layer_name), generation, true);
    nb::dict headers;
    headers["Cache-Control"] = pystr("public, max-age=" + text(bound::CACHE_TTL_SHORT()));
    headers["X-Cache"] = "MISS";
    co_return tile_response(mvt_content, headers);
}

object described_query(handle fallback, const char* description) {
    return ns()["Query"](fallback, nb::arg("description") = description);
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
                              {"request", ns()["Request"], nb::none()},
                              {"db", ns()["AsyncSession"], ns()["Depends"](ns()["get_db"])}},
                   .async_body = get_tile_bbox});
}

}  // namespace vexa::maptile
