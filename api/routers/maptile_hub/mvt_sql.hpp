// mvt_sql.hpp: generate_mvt_sql, the PostGIS statement of one XYZ vector tile.
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

namespace bound {
object generate_mvt_sql();
}  // namespace bound

/// Start-up: generate_mvt_sql.
void define_mvt_sql();

}  // namespace vexa::maptile
