// plots.hpp: what the survey plan module's source files share: the module namespace (names
// are read from it at call time, as a Python module's functions read their globals), the
// shared runtime, and the drawing steps, each in its own file.
#pragma once

#include "plan_geometry.hpp"
#include "runtime.hpp"

#include <string>

namespace vexa::plots {

/// The module's namespace.
inline Namespace ns;

/// The annotations of the module's signatures, as its stubs write them.
namespace annotation {
object any();                     // typing.Any
object sequence_of(handle item);  // collections.abc.Sequence[item]
object records();                 // Sequence[Mapping[str, Any]]
object schedule();                // list[dict[str, str]]
}  // namespace annotation

/// Shapely point -> its (x, y).
Vec point_xy(handle point);

// The module's functions, each bound in the namespace by its own file.
void define_projection();   // project_geometry
void define_scale();        // get_recommended_scale
void define_north_arrow();  // add_north_arrow
void define_scale_bar();    // add_scale_bar
void define_beacons();      // draw_beacon_labels
void define_plan();         // generate_plot

/// A GeoJSON-like geometry read with the module's `shape` and projected with its
/// `project_geometry`, both as bound now.
object projected_geometry(handle geometry);

/// Draw one clipped road geometry on `ax` (collections and multi-parts walked to any depth).
void plot_road_element(handle ax, handle geom);

}  // namespace vexa::plots
