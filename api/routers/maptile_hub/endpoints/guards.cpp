// guards.cpp: require_layer, validate_tile_coords and calculate_bbox_area_degrees.
#include "guards.hpp"

#include "responses.hpp"
#include "core/tile_rules.hpp"
#include "startup.hpp"

namespace vexa::maptile {

void require_layer(handle layer_name) {
    if (!contains(bound::LAYER_CONFIG(), layer_name)) raise_http(404, "Layer '" + text(layer_name) + "' not found");
}

const tiles::LayerDef& catalogued(handle layer_name) {
    const std::string name = text(layer_name);
    const tiles::LayerDef* layer = tiles::find_layer(name);
    if (layer == nullptr) raise_http(404, "Layer '" + name + "' not found");
    return *layer;
}

namespace bound {
object validate_tile_coords() { return ns()["validate_tile_coords"]; }
object calculate_bbox_area_degrees() { return ns()["calculate_bbox_area_degrees"]; }
}  // namespace bound

namespace {

/// An integer argument, with `fits` false when it lies outside the 64-bit range (such a value
/// is never a valid tile coordinate).
long long integer_arg(handle value, const char* name, bool& fits) {
    if (!PyLong_Check(value.ptr()))
        raise(PyExc_TypeError, std::string("validate_tile_coords() takes integers; ") + name + " is " +
                                   Py_TYPE(value.ptr())->tp_name);
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (result == -1 && PyErr_Occurred()) raise_current();
    if (overflow) fits = false;
    return result;
}

object validate_tile_coords(Args& a) {
    bool fits = true;
    long long z = integer_arg(a["z"], "z", fits);
    long long x = integer_arg(a["x"], "x", fits);
    long long y = integer_arg(a["y"], "y", fits);
    return nb::bool_(fits && tiles::tile_address_valid(z, x, y));
}

object calculate_bbox_area_degrees(Args& a) {
    return nb::float_(tiles::bbox_area(number(a["minx"]), number(a["miny"]), number(a["maxx"]), number(a["maxy"])));
}

}  // namespace

void define_guards() {
    object int_type = builtin::int_type(), float_type = builtin::float_type(), bool_type = builtin::bool_type();
    define({.name = "validate_tile_coords",
            .doc = "Validate tile coordinates.",
            .params = {{"z", int_type}, {"x", int_type}, {"y", int_type}},
            .return_annotation = bool_type,
            .sync_body = validate_tile_coords});
    define({.name = "calculate_bbox_area_degrees",
            .doc = "Calculate bounding box area in square degrees.",
            .params = {{"minx", float_type}, {"miny", float_type}, {"maxx", float_type}, {"maxy", float_type}},
            .return_annotation = float_type,
            .sync_body = calculate_bbox_area_degrees});
}

}  // namespace vexa::maptile
