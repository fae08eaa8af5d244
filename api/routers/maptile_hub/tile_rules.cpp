// tile_rules.cpp: the layer catalogue, zoom bands, address checks, time limits, tile SQL.
#include "tile_rules.hpp"

#include <cmath>

namespace vexa::tiles {

const std::vector<LayerDef>& catalogue() {
    static const std::vector<LayerDef> layers = {
        {"plots", R"("GIS"."PLOT")", R"("ID")", R"("GEOMETRY")",
         {R"("ID")", R"("PLOT_NO")", R"("STATUS")", R"("AREA_SYSTEM")", R"("GENERAL_LU")",
          R"("CADZONE")", R"("DETAIL_LU")", R"("file_no")"},
         8},
        {"beacons", R"("GIS"."BEACON")", R"("ID")", R"("GEOMETRY")",
         {R"("ID")", R"("BEACON_NO")", R"("STATUS")", R"("REMARK")"},
         12},
        {"cadzones", R"("GIS"."CadZones")", R"("id")", R"("geometry")",
         {R"("id")", R"("name")", R"("district_id")"},
         4},
        {"districts", R"("GIS"."Districts")", R"("id")", R"("geometry")",
         {R"("id")", R"("name")", R"("lga_id")"},
         3},
        {"lgas", R"("GIS"."LGAs")", R"("id")", R"("geometry")", {R"("id")", R"("name")"}, 2},
    };
    return layers;
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

std::string mvt_sql(const MvtQuery& q) {
    static const std::string envelope = "ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)";
    const std::string geometry =
        q.tolerance > 0 ? "ST_SimplifyPreserveTopology(" + q.geom_col + ", " + std::to_string(q.tolerance) + ")"
                        : q.geom_col;
    const std::string filter =
        q.exact_filter ? "\n        " + q.geom_col + " && " + envelope + "\n        AND ST_Intersects(" +
                             q.geom_col + ", " + envelope + ")\n        "
                       : q.geom_col + " && " + envelope;
    return "\n    SELECT ST_AsMVT(mvt_data, '" + q.layer_name +
           "', 4096, 'mvt_geom') AS mvt\n    FROM (\n        SELECT " + q.properties + ",\n            " +
           q.id_col + " AS feature_id,\n            ST_AsMVTGeom(\n                " + geometry +
           ",\n                " + envelope + ",\n                4096,\n                " +
           std::to_string(q.buffer) + ",\n                true\n            ) AS mvt_geom\n        FROM " +
           q.table + "\n        WHERE " + filter + "\n        ORDER BY ST_Area(" + q.geom_col +
           ") DESC\n        LIMIT " + std::to_string(q.feature_limit) +
           "\n    ) AS mvt_data\n    WHERE mvt_data.mvt_geom IS NOT NULL;\n    ";
}

bool tile_address_valid(long long z, long long x, long long y) {
    if (z < 1 || z > 20) return false;
    const long long side = 1LL << z;
    return x >= 0 && x < side && y >= 0 && y < side;
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
