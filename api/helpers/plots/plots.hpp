// plots.hpp: what the survey plan module's source files share: the module namespace (names
// are read from it at call time, as a Python module's functions read their globals) and the
// drawing steps, each in its own file.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

namespace vexa::plots {

namespace nb = nanobind;
using nb::handle;
using nb::object;

/// The module's namespace.
class Namespace {
public:
    void bind(handle module) {
        module_ = module.ptr();
        Py_INCREF(module_);  // modules live for the process
        dict_ = PyModule_GetDict(module_);
    }
    object operator[](const char* name) const {
        PyObject* value = PyDict_GetItemString(dict_, name);  // borrowed
        if (!value) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            throw nb::python_error();
        }
        return nb::borrow(value);
    }
    void set(const char* name, handle value) const {
        if (PyDict_SetItemString(dict_, name, value.ptr()) != 0) throw nb::python_error();
    }
    object module() const { return nb::borrow(module_); }

private:
    PyObject* module_ = nullptr;
    PyObject* dict_ = nullptr;
};

inline Namespace ns;

/// str(value) as UTF-8.
std::string text(handle value);

/// A Python float from `value` (anything with __float__ or __index__); TypeError otherwise.
double number(handle value);

/// record[key]; the mapping's own error (KeyError, TypeError, ...) when it cannot be read.
object item(handle record, handle key);
inline object item(handle record, const char* key) { return item(record, nb::str(key)); }

/// record[key], or `fallback` when the mapping has no such key.
object item_or(handle record, const char* key, handle fallback);

/// Python truth of `value`.
bool truthy(handle value);

/// Shapely geometry -> (x, y) of a point.
struct XY {
    double x, y;
};
XY point_xy(handle point);

// The module's functions, each bound in the namespace by its own file.
void define_projection();   // project_geometry
void define_scale();        // get_recommended_scale
void define_north_arrow();  // add_north_arrow
void define_scale_bar();    // add_scale_bar
void define_beacons();      // draw_beacon_labels
void define_plan();         // generate_plot

/// Draw one clipped road geometry on `ax` (collections and multi-parts walked to any depth).
void plot_road_element(handle ax, handle geom);

}  // namespace vexa::plots
