// conversions.hpp: two conversions the drawing steps share: a shapely point to its (x, y), and a
// record's text to the text matplotlib should draw.
#pragma once

#include "plan_geometry.hpp"
#include "runtime.hpp"

namespace vexa::plots {

/// Shapely point -> its (x, y).
Vec point_xy(handle point);

/// A text taken from a record, as matplotlib should draw it: matplotlib reads a text holding
/// "$...$" as math and fails on math it cannot parse, so a str holding "$" comes back with each
/// escaped ("\$", which it draws as "$"). Anything else is returned as it is, the same object.
object literal_text(handle value);

}  // namespace vexa::plots
