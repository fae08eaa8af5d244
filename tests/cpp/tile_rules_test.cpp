// Rules of the tile service that need no interpreter.
#include "tile_rules.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <iterator>
#include <string>
#include <vector>

using namespace vexa::tiles;

TEST(Catalogue, LayersInOrderWithTheirMinimumZooms) {
    const auto& layers = catalogue();
    ASSERT_EQ(layers.size(), 5u);
    const char* names[] = {"plots", "beacons", "cadzones", "districts", "lgas"};
    const int minima[] = {8, 12, 4, 3, 2};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_STREQ(layers[i].name, names[i]);
        EXPECT_EQ(layers[i].min_zoom, minima[i]);
        EXPECT_EQ(find_layer(names[i]), &layers[i]);
        // The identifier column is always the first property column.
        EXPECT_STREQ(layers[i].properties.front(), layers[i].id_col);
    }
    EXPECT_EQ(find_layer("roads"), nullptr);
}

TEST(Catalogue, TablesAndColumnsOfEachLayerAsSql) {
    struct Expected {
        const char* table;
        const char* id_col;
        const char* geom_col;
        const char* properties;
    };
    const Expected expected[] = {
        {R"("GIS"."PLOT")", R"("ID")", R"("GEOMETRY")",
         R"("ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no")"},
        {R"("GIS"."BEACON")", R"("ID")", R"("GEOMETRY")", R"("ID", "BEACON_NO", "STATUS", "REMARK")"},
        {R"("GIS"."CadZones")", R"("id")", R"("geometry")", R"("id", "name", "district_id")"},
        {R"("GIS"."Districts")", R"("id")", R"("geometry")", R"("id", "name", "lga_id")"},
        {R"("GIS"."LGAs")", R"("id")", R"("geometry")", R"("id", "name")"},
    };
    const auto& layers = catalogue();
    ASSERT_EQ(layers.size(), std::size(expected));
    for (size_t i = 0; i < layers.size(); ++i) {
        SCOPED_TRACE(layers[i].name);
        EXPECT_EQ(quoted_table(layers[i]), expected[i].table);
        EXPECT_EQ(quoted(layers[i].id_col), expected[i].id_col);
        EXPECT_EQ(quoted(layers[i].geom_col), expected[i].geom_col);
        EXPECT_EQ(quoted_properties(layers[i]), expected[i].properties);
    }
}

TEST(Quoted, InnerQuotesAreDoubled) {
    EXPECT_EQ(quoted("a\"b"), R"("a""b")");
    EXPECT_EQ(quoted(""), R"("")");
}

TEST(ZoomBand, EveryBandOnBothSidesOfItsUpperBound) {
    struct Row {
        double zoom;
        ZoomBand band;
    };
    const Row rows[] = {
        {4, {1000, 2000, 512, true}},  {5, {500, 3000, 256, true}},   {6, {500, 3000, 256, true}},
        {7, {250, 5000, 256, true}},   {8, {250, 5000, 256, true}},   {9, {100, 8000, 256, true}},
        {10, {100, 8000, 256, true}},  {11, {50, 10000, 256, false}}, {12, {50, 10000, 256, false}},
        {13, {10, 15000, 64, false}},  {14, {10, 15000, 64, false}},  {15, {0, 20000, 16, false}},
        {16, {0, 20000, 16, false}},   {17, {0, 30000, 8, false}},    {22, {0, 30000, 8, false}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.zoom);
        auto band = zoom_band(row.zoom, 0);
        ASSERT_TRUE(band);
        EXPECT_EQ(band->tolerance, row.band.tolerance);
        EXPECT_EQ(band->feature_limit, row.band.feature_limit);
        EXPECT_EQ(band->buffer, row.band.buffer);
        EXPECT_EQ(band->long_lived, row.band.long_lived);
    }
}

TEST(ZoomBand, NothingBelowTheLayersMinimum) {
    EXPECT_FALSE(zoom_band(7, 8).has_value());
    EXPECT_EQ(zoom_band(8, 8)->tolerance, 250);  // the minimum itself is served
    EXPECT_FALSE(zoom_band(1, 2).has_value());
    EXPECT_EQ(zoom_band(2, 2)->buffer, 512);
    EXPECT_FALSE(zoom_band(-5, 0).has_value());
    EXPECT_EQ(zoom_band(-5, -10).value().buffer, 512);  // the lowest band has no lower bound
}

TEST(TileAddress, BoundsAreExclusiveAndZoomFirst) {
    EXPECT_TRUE(tile_address_valid(1, 1, 1));
    EXPECT_FALSE(tile_address_valid(1, 2, 0));
    EXPECT_FALSE(tile_address_valid(0, 0, 0));
    EXPECT_TRUE(tile_address_valid(20, (1 << 20) - 1, (1 << 20) - 1));
    EXPECT_FALSE(tile_address_valid(20, 1 << 20, 0));
    EXPECT_FALSE(tile_address_valid(21, 0, 0));
    EXPECT_FALSE(tile_address_valid(5, -1, 0));
    EXPECT_FALSE(tile_address_valid(5, 0, -1));
    EXPECT_FALSE(tile_address_valid(LLONG_MAX, 0, 0));  // never shifts by a huge zoom
}

TEST(QueryTimeLimit, ByZoom) {
    EXPECT_DOUBLE_EQ(tile_query_timeout(6), 10.0);
    EXPECT_DOUBLE_EQ(tile_query_timeout(10), 12.0);
    EXPECT_DOUBLE_EQ(tile_query_timeout(14), 15.0);
    EXPECT_DOUBLE_EQ(tile_query_timeout(16), 20.0);
    EXPECT_DOUBLE_EQ(tile_query_timeout(17), 30.0);
}

TEST(BboxArea, OrderDoesNotMatter) {
    EXPECT_DOUBLE_EQ(bbox_area(3.0, 6.0, 4.0, 7.5), 1.5);
    EXPECT_DOUBLE_EQ(bbox_area(4.0, 7.5, 3.0, 6.0), 1.5);
    EXPECT_DOUBLE_EQ(bbox_area(3.0, 6.0, 3.0, 7.0), 0.0);
}

namespace {

/// `sql` with every run of white space made one blank, none at either end nor inside brackets.
std::string normalised(const std::string& sql) {
    std::string out;
    for (char c : sql) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!out.empty() && out.back() != ' ' && out.back() != '(') out += ' ';
        } else {
            if (c == ')' && !out.empty() && out.back() == ' ') out.pop_back();
            out += c;
        }
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

TileQuery plots_query(bool exact) {
    return {.layer_name = "plots", .table = R"("GIS"."PLOT")", .id_col = R"("ID")", .geom_col = R"("GEOMETRY")",
            .properties = R"("ID", "PLOT_NO")", .tolerance = 10, .buffer = 64, .limit = "15000", .exact_filter = exact};
}

}  // namespace

TEST(TileSql, TheExactFilterBesideTheBoxTest) {
    const std::string sql = normalised(tile_sql(plots_query(true)));
    EXPECT_NE(sql.find("WHERE \"GEOMETRY\" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857) AND "
                       "ST_Intersects(\"GEOMETRY\", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)) ORDER BY"),
              std::string::npos);
    EXPECT_NE(sql.find("ST_SimplifyPreserveTopology(\"GEOMETRY\", 10), ST_MakeEnvelope"), std::string::npos);
}

TEST(TileSql, BoxTestAloneUnsimplifiedAndABoundLimit) {
    TileQuery q = plots_query(false);
    q.tolerance = 0;
    q.limit = ":max_features";
    const std::string sql = normalised(tile_sql(q));
    EXPECT_NE(sql.find("ST_AsMVTGeom(\"GEOMETRY\", ST_MakeEnvelope"), std::string::npos);
    EXPECT_NE(sql.find("WHERE \"GEOMETRY\" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857) ORDER BY"),
              std::string::npos);
    EXPECT_NE(sql.find("LIMIT :max_features) AS mvt_data"), std::string::npos);
    EXPECT_EQ(sql.find("ST_Intersects"), std::string::npos);
    EXPECT_EQ(sql.find("ST_Simplify"), std::string::npos);
}

TEST(JoinColumns, CommaAndSpace) {
    EXPECT_EQ(join_columns({"\"id\"", "\"name\""}), "\"id\", \"name\"");
    EXPECT_EQ(join_columns({}), "");
}
