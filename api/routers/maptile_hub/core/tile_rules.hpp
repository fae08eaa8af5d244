// tile_rules.hpp: the tile service's rules that need no interpreter: the layer catalogue,
// zoom bands, tile addresses, query time limits and the vector-tile SQL text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexa::tiles {

/// One layer of the catalogue; identifiers are bare, as PostgreSQL stores them (quoted() makes
/// them SQL).
struct LayerDef {
    const char* name;
    const char* schema;
    const char* table;
    const char* id_col;
    const char* geom_col;
    std::vector<const char*> properties;
    int min_zoom;
};

/// The layer named `name`, or nullptr.
const LayerDef* find_layer(std::string_view name);

/// `identifier` as a quoted SQL identifier: "GIS" -> "\"GIS\"", inner quotes doubled.
std::string quoted(std::string_view identifier);

/// The layer's table as SQL: "schema"."table".
std::string quoted_table(const LayerDef& layer);

/// The layer's property columns as SQL, quoted and joined with ", ".
std::string quoted_properties(const LayerDef& layer);

/// The five layers, in catalogue order.
const std::vector<LayerDef>& catalogue();

/// Rendering parameters of a zoom band. `long_lived` selects the long cache lifetime.
struct ZoomBand {
    int tolerance;
    int feature_limit;
    int buffer;
    bool long_lived;
};

/// The band for `zoom`, or nothing when `zoom` is below `min_zoom`. Bounds are inclusive; the
/// lowest band has no lower bound.
std::optional<ZoomBand> zoom_band(double zoom, double min_zoom);

/// Property columns joined with ", ".
std::string join_columns(const std::vector<std::string>& columns);

/// What a tile statement is built from: SQL identifiers (quoted, as LAYER_CONFIG holds them)
/// and the zoom's or the endpoint's numbers.
struct TileQuery {
    std::string layer_name;
    std::string table;
    std::string id_col;
    std::string geom_col;
    std::string properties;  // already joined
    long long tolerance;     // 0: the geometries as stored
    long long buffer;
    std::string limit;       // a number, or a bind parameter
    bool exact_filter;       // ST_Intersects beside the index-supported box test
};

/// The one tile statement of both tile endpoints: the layer's features meeting the envelope of
/// the bind parameters :min_x, :min_y, :max_x, :max_y, clipped and encoded by PostGIS.
std::string tile_sql(const TileQuery& q);


/// A tile address exists: 1 <= z <= 20, 0 <= x, y < 2^z.
bool tile_address_valid(long long z, long long x, long long y);

/// The highest zoom the tile service answers.
inline constexpr int MAX_TILE_ZOOM = 20;

/// A rectangle in EPSG:3857 metres.
struct Box {
    double minx, miny, maxx, maxy;
};

/// The tiles of zoom `z` from column x0 to x1 and row y0 to y1, both ends included (empty when
/// x1 < x0).
struct TileRange {
    int z;
    long long x0, x1, y0, y1;
    long long count() const { return x1 < x0 || y1 < y0 ? 0 : (x1 - x0 + 1) * (y1 - y0 + 1); }
};

/// The tiles of zoom `z` whose extent meets `box`, edges included (a tile statement's "&&"
/// takes a geometry that only touches the tile's edge), on the XYZ grid of map clients (origin
/// at the top left, rows southward). Parts of the box beyond the grid are left out.
TileRange tiles_covering(const Box& box, int z);

/// Longitude and latitude in degrees of a point in EPSG:3857 metres.
struct LonLat {
    double lon, lat;
};
LonLat lonlat_of(double x, double y);

/// Half the side of the Web Mercator square (EPSG:3857), in metres: pi times the earth's radius.
inline constexpr double WEB_MERCATOR_HALF_WIDTH = 20037508.342789244;

/// Whether the point (x, y) in EPSG:3857 metres lies in the Web Mercator square, edges included
/// (false for NaN).
bool in_web_mercator(double x, double y);

/// Seconds the XYZ tile query of zoom `z` may run.
double tile_query_timeout(double z);

/// |maxx - minx| * |maxy - miny|, in the units of the input.
double bbox_area(double minx, double miny, double maxx, double maxy);

}  // namespace vexa::tiles
