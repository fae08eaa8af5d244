// Statements written whole with named holes, and the bounding-box tile statement made from the
// shared tile statement.
#include "sql_template.hpp"
#include "tile_rules.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace vexa::tiles;

TEST(Fill, EveryHoleTakesItsTextWhereverItStands) {
    EXPECT_EQ(fill("SELECT {a} FROM {t} WHERE {a} > 0", {{"a", "\"x\""}, {"t", "\"T\""}}),
              "SELECT \"x\" FROM \"T\" WHERE \"x\" > 0");
    EXPECT_EQ(fill("no holes", {}), "no holes");
    EXPECT_EQ(fill("{end}", {{"end", ""}}), "");
}

TEST(Fill, AStatementAndItsCallerMustAgree) {
    EXPECT_THROW(fill("SELECT {a}", {}), std::logic_error);                           // a hole without text
    EXPECT_THROW(fill("SELECT 1", {{"a", "x"}}), std::logic_error);                   // a text without hole
    EXPECT_THROW(fill("SELECT {a", {{"a", "x"}}), std::logic_error);                  // an unclosed hole
    EXPECT_THROW(fill("SELECT {a} {b}", {{"a", "x"}, {"c", "y"}}), std::logic_error);  // a misspelt name
}

TEST(BboxStatement, CharacterForCharacter) {
    const BboxQuery plain{.layer_name = "lgas",
                          .table = R"("GIS"."LGAs")",
                          .id_col = R"("id")",
                          .geom_col = R"("geometry")",
                          .properties = R"("id", "name")",
                          .simplified = false};
    const std::string expected =
        "\n    SELECT ST_AsMVT(mvt_data, 'lgas', 4096, 'mvt_geom') AS mvt\n    FROM (\n        SELECT \"id\", "
        "\"name\",\n            \"id\" AS feature_id,\n            ST_AsMVTGeom(\n                \"geometry\",\n"
        "                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),\n                4096,\n"
        "                32,\n                true\n            ) AS mvt_geom\n        FROM \"GIS\".\"LGAs\"\n"
        "        WHERE \"geometry\" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n            AND "
        "ST_Intersects(\"geometry\", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))\n        ORDER BY "
        "ST_Area(\"geometry\") DESC\n        LIMIT :max_features\n    ) AS mvt_data\n    WHERE "
        "mvt_data.mvt_geom IS NOT NULL\n    ";
    EXPECT_EQ(bbox_sql(plain), expected);

    BboxQuery simplified = plain;
    simplified.simplified = true;
    const std::string sql = bbox_sql(simplified);
    EXPECT_NE(sql.find("                ST_SimplifyPreserveTopology(\"geometry\", 50),\n"), std::string::npos);
    EXPECT_NE(sql.find("ORDER BY ST_Area(\"geometry\") DESC"), std::string::npos);  // the area of the column itself
}
