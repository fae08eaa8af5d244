// Rules of the tile service that need no interpreter.
#include "tile_rules.hpp"

#include <gtest/gtest.h>

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
        // The identifier column is always the first property column.
        EXPECT_STREQ(layers[i].properties.front(), layers[i].id_col);
    }
}

TEST(Catalogue, TablesAndColumnsOfEachLayer) {
    struct Expected {
        const char* table;
        const char* id_col;
        const char* geom_col;
        std::vector<std::string> properties;
    };
    const Expected expected[] = {
        {R"("GIS"."PLOT")", R"("ID")", R"("GEOMETRY")",
         {R"("ID")", R"("PLOT_NO")", R"("STATUS")", R"("AREA_SYSTEM")", R"("GENERAL_LU")", R"("CADZONE")",
          R"("DETAIL_LU")", R"("file_no")"}},
        {R"("GIS"."BEACON")", R"("ID")", R"("GEOMETRY")", {R"("ID")", R"("BEACON_NO")", R"("STATUS")", R"("REMARK")"}},
        {R"("GIS"."CadZones")", R"("id")", R"("geometry")", {R"("id")", R"("name")", R"("district_id")"}},
        {R"("GIS"."Districts")", R"("id")", R"("geometry")", {R"("id")", R"("name")", R"("lga_id")"}},
        {R"("GIS"."LGAs")", R"("id")", R"("geometry")", {R"("id")", R"("name")"}},
    };
    const auto& layers = catalogue();
    ASSERT_EQ(layers.size(), std::size(expected));
    for (size_t i = 0; i < layers.size(); ++i) {
        SCOPED_TRACE(layers[i].name);
        EXPECT_STREQ(layers[i].table, expected[i].table);
        EXPECT_STREQ(layers[i].id_col, expected[i].id_col);
        EXPECT_STREQ(layers[i].geom_col, expected[i].geom_col);
        EXPECT_EQ(std::vector<std::string>(layers[i].properties.begin(), layers[i].properties.end()),
                  expected[i].properties);
    }
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
MvtQuery plots_query(bool exact) {
    return {"plots", "\"GIS\".\"PLOT\"", "\"ID\"", "\"GEOMETRY\"", "\"ID\", \"PLOT_NO\"", 10, 15000, 64, exact};
}
}  // namespace

TEST(MvtSql, ExactFilterHasThreeLines) {
    const std::string sql = mvt_sql(plots_query(true));
    EXPECT_EQ(sql.rfind("\n    SELECT ST_AsMVT(mvt_data, 'plots', 4096, 'mvt_geom') AS mvt\n", 0), 0u);
    EXPECT_NE(sql.find("SELECT \"ID\", \"PLOT_NO\",\n            \"ID\" AS feature_id,\n"), std::string::npos);
    EXPECT_NE(sql.find("ST_SimplifyPreserveTopology(\"GEOMETRY\", 10),\n"), std::string::npos);
    EXPECT_NE(sql.find("                4096,\n                64,\n                true\n"), std::string::npos);
    EXPECT_NE(sql.find("WHERE \n        \"GEOMETRY\" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n"
                       "        AND ST_Intersects(\"GEOMETRY\", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))\n"
                       "        \n        ORDER BY ST_Area(\"GEOMETRY\") DESC\n        LIMIT 15000\n"),
              std::string::npos);
    EXPECT_EQ(sql.substr(sql.size() - 6), ";\n    ");
}

TEST(MvtSql, BoundingBoxOnlyAndNoSimplification) {
    MvtQuery q = plots_query(false);
    q.tolerance = 0;
    const std::string sql = mvt_sql(q);
    EXPECT_NE(sql.find("ST_AsMVTGeom(\n                \"GEOMETRY\",\n"), std::string::npos);
    EXPECT_NE(sql.find("WHERE \"GEOMETRY\" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n        ORDER BY"),
              std::string::npos);
    EXPECT_EQ(sql.find("ST_Intersects"), std::string::npos);
}

TEST(JoinColumns, CommaAndSpace) {
    EXPECT_EQ(join_columns({"\"id\"", "\"name\""}), "\"id\", \"name\"");
    EXPECT_EQ(join_columns({}), "");
}
