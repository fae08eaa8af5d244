// module.hpp: what the survey plan module's source files share: its state (one instance), the
// names its start-up binds, reached through bound::, the annotations of its signatures, and
// two conversions (points, record texts). Each concern's header adds its own.
#pragma once

#include "coordinate_batch.hpp"
#include "plan_geometry.hpp"
#include "runtime.hpp"

#include <mutex>

namespace vexa::plots {

/// Everything the module keeps for the life of the process, created at import.
struct ModuleState {
    /// The module's namespace. Module-level names are read from it at call time, as a Python
    /// module's functions read their globals, so that a replaced attribute (monkeypatch) takes
    /// effect; the drawing steps read them through the bound:: accessors.
    Namespace ns;
    /// project_geometry, shape and transform as bound at import: while they are still in
    /// place, a plan reads its far records' coordinates in one batch (coordinate_batch.hpp).
    OwnProjection own_projection;
    /// Held from a plan's figure() to its close(), as plan.cpp explains. Recursive: a drawing
    /// callback may plot a plan itself.
    std::recursive_mutex pyplot_section;
};
inline ModuleState module_state;

/// The names start-up binds (module.cpp), each as bound now: a replacement takes effect on the
/// next call. The module's functions have theirs in their own headers.
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
}  // namespace bound

/// The annotations of the module's signatures, as its stubs write them.
namespace annotation {
object any();                     // typing.Any
object sequence_of(handle item);  // collections.abc.Sequence[item]
object records();                 // Sequence[Mapping[str, Any]]
object schedule();                // list[dict[str, str]]
}  // namespace annotation

/// Shapely point -> its (x, y).
Vec point_xy(handle point);

/// A text taken from a record, as matplotlib should draw it: matplotlib reads a text holding
/// "$...$" as math and fails on math it cannot parse, so a str holding "$" comes back with each
/// escaped ("\$", which it draws as "$"). Anything else is returned as it is, the same object.
object literal_text(handle value);

}  // namespace vexa::plots
