// Statements written whole with named holes.
#include "sql_template.hpp"

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
