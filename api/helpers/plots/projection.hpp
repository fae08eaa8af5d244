// projection.hpp: project_geometry, EPSG:3857 -> EPSG:26332 through the module's transformer.
#pragma once

#include "runtime.hpp"

namespace vexa::plots {

/// Bind project_geometry in the module namespace (start-up).
void define_projection();

/// A GeoJSON-like geometry read with the module's `shape` and projected with its
/// `project_geometry`, both as bound now.
object projected_geometry(handle geometry);

}  // namespace vexa::plots
