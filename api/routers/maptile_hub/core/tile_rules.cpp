// tile_rules.cpp: the layer catalogue, zoom bands, address checks, time limits, the tile statements.
#include "tile_rules.hpp"

#include "sql_template.hpp"

#include <algorithm>
#include <cmath>

namespace vexa::tiles {

const std::vector<LayerDef>& catalogue() {
    static const std::vector<LayerDef> layers = {
        {"plots", "GIS", "PLOT", "ID", "GEOMETRY",
         {"ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no"}, 8},
        {"beacons", "GIS", "BEACON", "ID", "GEOMETRY", {"ID", "BEACON_NO", "STATUS", "REMARK"}, 12},
        {"cadzones", "GIS", "CadZones", "id", "geometry", {"id", "name", "district_id"}, 4},
        {"districts", "GIS", "Districts", "id", "geometry", {"id", "name", "lga_id"}, 3},
        {"lgas", "GIS", "LGAs", "id", "geometry", {"id", "name"}, 2},
    };
    return layers;
}

const LayerDef* find_layer(std::string_view name) {
    for (const LayerDef& layer : catalogue())
        if (name == layer.name) return &layer;
    return nullptr;
}

std::string quoted(std::string_view identifier) {
    std::string out = "\"";
    for (char c : identifier) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

std::string quoted_table(const LayerDef& layer) { return quoted(layer.schema) + "." + quoted(layer.table); }

std::string quoted_properties(const LayerDef& layer) {
    std::vector<std::string> columns;
    for (const char* column : layer.properties) columns.push_back(quoted(column));
    return join_columns(columns);
}

std::optional<ZoomBand> zoom_band(double zoom, double min_zoom) {
    if (zoom < min_zoom) return std::nullopt;
    struct Row {
        double upper;
        ZoomBand band;
    };
    static const Row bands[] = {
        {4, {1000, 2000, 512, true}},  {6, {500, 3000, 256, true}},   {8, {250, 5000, 256, true}},
        {10, {100, 8000, 256, true}},  {12, {50, 10000, 256, false}}, {14, {10, 15000, 64, false}},
        {16, {0, 20000, 16, false}},
    };
    for (const Row& row : bands)
        if (zoom <= row.upper) return row.band;
    return ZoomBand{0, 30000, 8, false};
}

std::string join_columns(const std::vector<std::string>& columns) {
    std::string out;
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i) out += ", ";
        out += columns[i];
    }
    return out;
}

namespace {

// The layer's features inside the envelope of the bind parameters, clipped, optionally
// simplified, the largest first up to a limit, encoded by PostGIS.
constexpr std::string_view TILE_SQL = R"(
    SELECT ST_AsMVT(mvt_data, '{layer_name}', 4096, 'mvt_geom') AS mvt
    FROM (
        SELECT {properties},
            {id_col} AS feature_id,
            ST_AsMVTGeom(
                {geometry},
                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),
                4096,
                {buffer},
                true
            ) AS mvt_geom
        FROM {table}
        WHERE {filter}
        ORDER BY ST_Area({geom_col}) DESC
        LIMIT {limit}
    ) AS mvt_data
    WHERE mvt_data.mvt_geom IS NOT NULL
    )";

// The index-supported box test, and the exact test beside it.
constexpr std::string_view BOX_FILTER = "{geom_col} && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)";
constexpr std::string_view EXACT_FILTER = R"({geom_col} && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)
          AND ST_Intersects({geom_col}, ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)))";

}  // namespace

std::string tile_sql(const TileQuery& q) {
    const std::string geometry =
        q.tolerance > 0 ? fill("ST_SimplifyPreserveTopology({geom_col}, {tolerance})",
                               {{"geom_col", q.geom_col}, {"tolerance", std::to_string(q.tolerance)}})
                        : q.geom_col;
    return fill(TILE_SQL, {{"layer_name", q.layer_name},
                           {"properties", q.properties},
                           {"id_col", q.id_col},
                           {"geometry", geometry},
                           {"buffer", std::to_string(q.buffer)},
                           {"table", q.table},
                           {"filter", fill(q.exact_filter ? EXACT_FILTER : BOX_FILTER, {{"geom_col", q.geom_col}})},
                           {"geom_col", q.geom_col},
                           {"limit", q.limit}});
}

bool tile_address_valid(long long z, long long x, long long y) {
    if (z < 1 || z > 20) return false;
    const long long side = 1LL << z;
    return x >= 0 && x < side && y >= 0 && y < side;
}

namespace {

constexpr double EARTH_RADIUS = 6378137.0;
constexpr double ORIGIN_SHIFT = M_PI * EARTH_RADIUS;  // half the width of the world in EPSG:3857
static_assert(ORIGIN_SHIFT == WEB_MERCATOR_HALF_WIDTH);

}  // namespace

TileRange tiles_covering(const Box& box, int z) {
    const long long side = 1LL << z;
    const double size = 2 * ORIGIN_SHIFT / double(side);
    auto index = [&](double offset) {
        return (long long)std::max(0.0, std::min(double(side - 1), std::floor(offset / size)));
    };
    // A box edge on a tile edge touches the tiles on both sides of it: the box is widened by a
    // millimetre, so that rounding never decides which.
    constexpr double EDGE = 1e-3;
    TileRange range{z, index(box.minx - EDGE + ORIGIN_SHIFT), index(box.maxx + EDGE + ORIGIN_SHIFT),
                    index(ORIGIN_SHIFT - box.maxy - EDGE), index(ORIGIN_SHIFT - box.miny + EDGE)};
    const bool finite = std::isfinite(box.minx) && std::isfinite(box.miny) && std::isfinite(box.maxx) &&
                        std::isfinite(box.maxy);
    const bool off_grid = !finite || box.maxx < -ORIGIN_SHIFT || box.minx > ORIGIN_SHIFT || box.maxy < -ORIGIN_SHIFT ||
                          box.miny > ORIGIN_SHIFT || box.maxx < box.minx || box.maxy < box.miny;
    if (off_grid) range.x1 = range.x0 - 1;
    return range;
}

LonLat lonlat_of(double x, double y) {
    return {x / EARTH_RADIUS * 180 / M_PI, std::atan(std::sinh(y / EARTH_RADIUS)) * 180 / M_PI};
}

bool in_web_mercator(double x, double y) {
    return std::fabs(x) <= ORIGIN_SHIFT && std::fabs(y) <= ORIGIN_SHIFT;
}

double tile_query_timeout(double z) {
    if (z <= 6) return 10.0;
    if (z <= 10) return 12.0;
    if (z <= 14) return 15.0;
    if (z <= 16) return 20.0;
    return 30.0;
}

double bbox_area(double minx, double miny, double maxx, double maxy) {
    return std::fabs((maxx - minx) * (maxy - miny));
}

}  // namespace vexa::tiles
