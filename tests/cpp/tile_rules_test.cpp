// Rules of the tile service that need no interpreter.
#include "tile_rules.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <string>

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
    EXPECT_STREQ(layers[0].properties.back(), "\"file_no\"");
}

TEST(ZoomBand, BandEdgesAndMinimum) {
    EXPECT_FALSE(zoom_band(7, 8).has_value());
    auto z8 = zoom_band(8, 8);
    ASSERT_TRUE(z8);
    EXPECT_EQ(z8->tolerance, 250);
    EXPECT_EQ(z8->feature_limit, 5000);
    EXPECT_TRUE(z8->long_lived);
    EXPECT_EQ(zoom_band(6, 0)->tolerance, 500);
    EXPECT_EQ(zoom_band(7, 0)->tolerance, 250);
    EXPECT_TRUE(zoom_band(10, 0)->long_lived);
    EXPECT_FALSE(zoom_band(11, 0)->long_lived);
    EXPECT_EQ(zoom_band(16, 0)->buffer, 16);
    EXPECT_EQ(zoom_band(17, 0)->buffer, 8);
    EXPECT_EQ(zoom_band(22, 0)->feature_limit, 30000);
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
    EXPECT_NE(sql.find("ST_SimplifyPreserveTopology(\"GEOMETRY\", 10),\n"), std::string::npos);
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
