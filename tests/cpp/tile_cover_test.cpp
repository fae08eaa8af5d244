// Which cached tiles an edit of a box touches, and the grid's coordinates in degrees.
#include "tile_rules.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace vexa::tiles;

namespace {

constexpr double HALF = M_PI * 6378137.0;

/// The extent of tile (z, x, y), as the host's tile grid computes it.
Box tile_box(int z, long long x, long long y) {
    const double size = 2 * HALF / double(1LL << z);
    const double minx = -HALF + double(x) * size, maxy = HALF - double(y) * size;
    return {minx, maxy - size, minx + size, maxy};
}

}  // namespace

TEST(TileCover, ABoxInsideOneTileTouchesThatTileOnly) {
    const Box tile = tile_box(16, 34101, 31135);
    const TileRange r = tiles_covering({tile.minx + 1, tile.miny + 1, tile.maxx - 1, tile.maxy - 1}, 16);
    EXPECT_EQ(r.count(), 1);
    EXPECT_EQ(r.x0, 34101);
    EXPECT_EQ(r.y0, 31135);
}

TEST(TileCover, EdgesTouchTheNeighbours) {
    // A geometry whose bounds are exactly a tile's meets the eight tiles around it too.
    const TileRange r = tiles_covering(tile_box(16, 34101, 31135), 16);
    EXPECT_EQ(r.x0, 34100);
    EXPECT_EQ(r.x1, 34102);
    EXPECT_EQ(r.y0, 31134);
    EXPECT_EQ(r.y1, 31136);
    EXPECT_EQ(r.count(), 9);
    // A point on the world's centre touches all four tiles of zoom 1.
    EXPECT_EQ(tiles_covering({0, 0, 0, 0}, 1).count(), 4);
}

TEST(TileCover, LowZoomsAndTheGridsBorders) {
    const Box tile = tile_box(16, 34101, 31135);
    const Box inside{tile.minx + 1, tile.miny + 1, tile.maxx - 1, tile.maxy - 1};
    for (int z = 1; z <= 15; ++z) {
        const TileRange r = tiles_covering(inside, z);
        EXPECT_EQ(r.count(), 1) << "zoom " << z;
        EXPECT_EQ(r.x0, 34101 >> (16 - z)) << "zoom " << z;
        EXPECT_EQ(r.y0, 31135 >> (16 - z)) << "zoom " << z;
    }
    // The whole world at zoom 2 is its 16 tiles, clamped to the grid.
    EXPECT_EQ(tiles_covering({-2 * HALF, -2 * HALF, 2 * HALF, 2 * HALF}, 2).count(), 16);
    // Beyond the grid, reversed or not a number: nothing.
    EXPECT_EQ(tiles_covering({2 * HALF, 0, 3 * HALF, 1}, 5).count(), 0);
    EXPECT_EQ(tiles_covering({10, 10, 0, 0}, 5).count(), 0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(tiles_covering({nan, 0, 1, 1}, 5).count(), 0);
}

TEST(LonLat, WebMercatorToDegrees) {
    const LonLat origin = lonlat_of(0, 0);
    EXPECT_DOUBLE_EQ(origin.lon, 0);
    EXPECT_DOUBLE_EQ(origin.lat, 0);
    const LonLat corner = lonlat_of(HALF, HALF);
    EXPECT_NEAR(corner.lon, 180, 1e-9);
    EXPECT_NEAR(corner.lat, 85.0511287798066, 1e-9);
    const LonLat abuja = lonlat_of(815000, 998000);  // the demo cadastre's south-west corner
    EXPECT_NEAR(abuja.lon, 7.32127, 1e-5);
    EXPECT_NEAR(abuja.lat, 8.92883, 1e-5);
}

TEST(LonLat, TheWebMercatorSquareHoldsItsEdgesAndNothingBeyond) {
    EXPECT_TRUE(in_web_mercator(-HALF, HALF));  // the world's corners, as clients send them
    EXPECT_TRUE(in_web_mercator(HALF, -HALF));
    EXPECT_FALSE(in_web_mercator(std::nextafter(HALF, 3 * HALF), 0));
    EXPECT_FALSE(in_web_mercator(0, -std::nextafter(HALF, 3 * HALF)));
    EXPECT_FALSE(in_web_mercator(std::numeric_limits<double>::quiet_NaN(), 0));
    EXPECT_FALSE(in_web_mercator(0, std::numeric_limits<double>::infinity()));
}
