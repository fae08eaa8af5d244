// coordinate_batch.hpp: a plan's neighbours and roads read from their GeoJSON-like mappings
// and projected in one batch, so that only those near the view are built as geometries.
//
// An area's records hold hundreds of parcels and roads, of which a plan's view shows a few
// dozen; building and projecting each as a shapely geometry would cost more than drawing the
// plan. So while the module's own projection is in place, the coordinates of every neighbour
// and road are read straight from their mappings and projected in one call of the module's
// transformer, and only those whose projected bounds come near the view are built as
// geometries and tested and clipped as usual. A record is read this way only when it is
// plainly well formed (so building it could not fail); anything else is built at once.
#pragma once

#include "plan_geometry.hpp"
#include "runtime.hpp"

#include <cstddef>
#include <optional>
#include <vector>

namespace vexa::plots {

/// Remember the module's project_geometry, shape and transform as bound now; once, at start-up,
/// after the module's functions are defined.
void remember_own_projection();

/// Whether the module's project_geometry, shape and transform are still the ones remembered:
/// only then is a batch's projection the one a record's geometry would get.
bool own_projection_in_place();

/// The coordinates of many GeoJSON-like geometries, projected together.
class CoordinateBatch {
public:
    struct Range {
        size_t first, count;
    };

    /// Take `geometry`'s coordinates when it is a dict holding a LineString, Polygon,
    /// MultiLineString or MultiPolygon of plain number pairs (or triples), every line of at
    /// least 2 and every ring of at least 4 positions; nothing otherwise.
    std::optional<Range> add(handle geometry);

    /// Project every coordinate taken, in one call of the module's transformer.
    void project();

    /// Projected bounds of a range; nothing before `project` or when a coordinate is not finite.
    std::optional<Bounds> bounds(Range r) const;

private:
    // The readers take borrowed items of the geometry that add() was given (see add()).
    bool positions(handle value, Py_ssize_t min_size);
    template <class Part>
    bool parts(handle value, Part part);
    bool polygon(handle rings);

    std::vector<double> xs_, ys_;
    bool projected_ = false;
};

/// A neighbour or a road: its projected geometry, or its coordinates in the batch until it is
/// known to come near the view.
struct Feature {
    object geom;
    object source;  // the record's geometry value, while `geom` is not built
    CoordinateBatch::Range range{};
};

/// The feature of `record`: its coordinates taken into `batch` when it can read them (and
/// `batch` is given), else its geometry built and projected at once.
Feature feature(handle record, CoordinateBatch* batch);

/// The feature's geometry, built when needed; nothing when it lies apart from `near_view`.
object reaching(Feature& f, const CoordinateBatch& batch, Bounds near_view);

}  // namespace vexa::plots
