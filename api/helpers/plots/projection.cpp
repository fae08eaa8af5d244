// projection.cpp: project_geometry, EPSG:3857 -> EPSG:26332 through the module's transformer.
#include "projection.hpp"
#include "annotations.hpp"
#include "module_names.hpp"

namespace vexa::plots {

namespace {

object project_geometry(Args& a) {
    handle geometry = a["geometry"];
    return bound::transform()(bound::TRANSFORMER().attr("transform"), geometry);
}

}  // namespace

object projected_geometry(handle geometry) { return bound::project_geometry()(bound::shape()(geometry)); }

void define_projection() {
    define(ns(),
           {.name = "project_geometry",
            .doc = "Project a shapely geometry from EPSG:3857 to EPSG:26332 (a new geometry of the same type and "
                   "structure).",
            .params = {{"geometry", annotation::any()}},
            .return_annotation = annotation::any(),
            .sync_body = project_geometry});
}

}  // namespace vexa::plots
