// module.cpp: start-up of vexa.plots: the plotting library set up for off-screen rendering with
// serif fonts, the host's logger, the EPSG:3857 -> EPSG:26332 transformer, and the functions.
#include "plots.hpp"

namespace vexa::plots {

std::string text(handle value) {
    object s = nb::steal(PyObject_Str(value.ptr()));
    if (!s.is_valid()) throw nb::python_error();
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data) throw nb::python_error();
    return std::string(data, size_t(size));
}

double number(handle value) {
    double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

bool truthy(handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

object item(handle record, handle key) {
    PyObject* value = PyObject_GetItem(record.ptr(), key.ptr());
    if (!value) throw nb::python_error();
    return nb::steal(value);
}

object item_or(handle record, const char* key, handle fallback) {
    PyObject* value = PyObject_GetItem(record.ptr(), nb::str(key).ptr());
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
    PyErr_Clear();
    return nb::borrow(fallback);
}

XY point_xy(handle point) { return {number(point.attr("x")), number(point.attr("y"))}; }

namespace {

void bind_module(const char* name, const char* module) { ns.set(name, nb::module_::import_(module)); }

void bind_from(const char* module, std::initializer_list<const char*> names) {
    object source = nb::module_::import_(module);
    for (const char* name : names) ns.set(name, source.attr(name));
}

}  // namespace

}  // namespace vexa::plots

using namespace vexa::plots;

NB_MODULE(plots, m) {
    ns.bind(m);

    // 1-2. Libraries and the host's logger factory.
    bind_module("io", "io");
    bind_module("base64", "base64");
    bind_module("math", "math");
    bind_module("np", "numpy");
    bind_module("mpl", "matplotlib");
    bind_module("plt", "matplotlib.pyplot");
    bind_module("patches", "matplotlib.patches");
    bind_from("shapely.geometry", {"Polygon", "LineString", "shape"});
    bind_from("shapely.ops", {"transform"});
    bind_from("pyproj", {"Transformer", "CRS"});
    bind_from("logger", {"get_logger"});

    // 3-4. Off-screen rendering; serif fonts, the first installed family wins.
    ns["mpl"].attr("use")("Agg");
    object rc = ns["mpl"].attr("rcParams");
    rc["font.family"] = "serif";
    nb::list serif;
    for (const char* family : {"DejaVu Serif", "Liberation Serif", "Times New Roman", "serif"}) serif.append(family);
    rc["font.serif"] = serif;

    // 5-6. The host's logger.
    ns.set("logger", ns["get_logger"]());
    ns["logger"].attr("info")("Loaded plots.py module");

    // 7. Web Mercator in, Nigeria Minna / UTM 32N out, x before y in both.
    ns.set("SRC_CRS", ns["CRS"]("EPSG:3857"));
    ns.set("DST_CRS", ns["CRS"]("EPSG:26332"));
    ns.set("TRANSFORMER", ns["Transformer"].attr("from_crs")(ns["SRC_CRS"], ns["DST_CRS"],
                                                            nb::arg("always_xy").none() = true));

    // 8. The functions.
    define_projection();
    define_scale();
    define_north_arrow();
    define_scale_bar();
    define_beacons();
    define_plan();
}
