// mvt_sql.hpp: the tile statements of a layer, each built once per layer and shape, and
// generate_mvt_sql, the statement of one XYZ vector tile.
#pragma once

#include "hub.hpp"
#include "core/tile_rules.hpp"

namespace vexa::maptile {

/// What a tile statement varies by beyond its layer: the simplification tolerance (0: none),
/// the clipping buffer, the feature limit (a number or a bind parameter), the exact filter.
struct StatementShape {
    long long tolerance;
    long long buffer;
    std::string limit;
    bool exact;
};

/// The tile statement (as text) of the layer `layer_name` whose LAYER_CONFIG record is `record`,
/// in `shape`. Built once per layer and shape and kept while the record is the catalogue's own;
/// built for the call from a record a host put in its place.
object tile_statement(handle layer_name, handle record, const StatementShape& shape);

}  // namespace vexa::maptile
