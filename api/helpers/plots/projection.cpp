// projection.cpp: project_geometry, EPSG:3857 -> EPSG:26332 through the module's transformer.
#include "plots.hpp"

namespace vexa::plots {

namespace {

object project_geometry(object geometry) {
    return ns["transform"](ns["TRANSFORMER"].attr("transform"), geometry);
}

}  // namespace

void define_projection() {
    nb::borrow<nb::module_>(ns.module())
        .def("project_geometry", &project_geometry, nb::arg("geometry").none(),
             "Project a shapely geometry from EPSG:3857 to EPSG:26332 (a new geometry of the same "
             "type and structure).");
}

}  // namespace vexa::plots
