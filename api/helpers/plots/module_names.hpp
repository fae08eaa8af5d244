// module_names.hpp: the plots module's namespace and the names its start-up binds there (the
// libraries, the host's logger, the transformer), each read through bound:: at call time.
#pragma once

#include "runtime.hpp"

namespace vexa::plots {

/// The module's namespace, bound once by the module's start-up (module.cpp). Module-level names
/// are read from it at call time, as a Python module's functions read their globals, so that a
/// replaced attribute (monkeypatch) takes effect on the next call.
Namespace& ns();

/// The names start-up binds and the module's own functions, each as bound now: a replacement
/// takes effect on the next call.
namespace bound {
object logger();       // the host's logger
object TRANSFORMER();  // EPSG:3857 -> EPSG:26332, x before y
object shape();        // shapely.geometry.shape
object transform();    // shapely.ops.transform
object Polygon();      // shapely.geometry.Polygon
object np();           // numpy
object plt();          // matplotlib.pyplot
object patches();      // matplotlib.patches
object io();           // io
object base64();       // base64
object project_geometry();
object get_recommended_scale();
object add_north_arrow();
object add_scale_bar();
object draw_beacon_labels();
}  // namespace bound

}  // namespace vexa::plots
