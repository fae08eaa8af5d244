// module.cpp: start-up of vexa.plots: the plotting library set up for off-screen rendering with
// serif fonts, the host's logger, the EPSG:3857 -> EPSG:26332 transformer, and the functions.
#include "beacons.hpp"
#include "north_arrow.hpp"
#include "plan.hpp"
#include "projection.hpp"
#include "scale.hpp"
#include "scale_bar.hpp"

namespace vexa::plots {

namespace bound {
object logger() { return module_state.ns["logger"]; }
object TRANSFORMER() { return module_state.ns["TRANSFORMER"]; }
object shape() { return module_state.ns["shape"]; }
object transform() { return module_state.ns["transform"]; }
object Polygon() { return module_state.ns["Polygon"]; }
object np() { return module_state.ns["np"]; }
object plt() { return module_state.ns["plt"]; }
object patches() { return module_state.ns["patches"]; }
object io() { return module_state.ns["io"]; }
object base64() { return module_state.ns["base64"]; }
}  // namespace bound

Vec point_xy(handle point) { return {number(point.attr("x")), number(point.attr("y"))}; }

object literal_text(handle value) {
    if (!PyUnicode_Check(value.ptr())) return nb::borrow(value);
    const Py_ssize_t dollar = PyUnicode_FindChar(value.ptr(), '$', 0, PyUnicode_GetLength(value.ptr()), 1);
    if (dollar == -2) raise_current();
    if (dollar == -1) return nb::borrow(value);
    return steal(PyUnicode_Replace(value.ptr(), pystr("$").ptr(), pystr("\\$").ptr(), -1));
}

namespace annotation {
object any() { return nb::module_::import_("typing").attr("Any"); }
object sequence_of(handle item) { return nb::module_::import_("collections.abc").attr("Sequence")[item]; }
object records() {
    object mapping = nb::module_::import_("collections.abc").attr("Mapping");
    return sequence_of(mapping[nb::make_tuple(builtin::str_type(), any())]);
}
object schedule() {
    return builtin::list_type()[builtin::dict_type()[nb::make_tuple(builtin::str_type(), builtin::str_type())]];
}
}  // namespace annotation

}  // namespace vexa::plots

using namespace vexa;
using namespace vexa::plots;

NB_MODULE(plots, m) {
    Namespace& ns = module_state.ns;
    ns.bind(m);
    init_runtime(m);

    // 1-2. Libraries and the host's logger factory.
    ns.bind_module("io", "io");
    ns.bind_module("base64", "base64");
    ns.bind_module("math", "math");
    ns.bind_module("np", "numpy");
    ns.bind_module("mpl", "matplotlib");
    ns.bind_module("plt", "matplotlib.pyplot");
    ns.bind_module("patches", "matplotlib.patches");
    ns.bind_from("shapely.geometry", {"Polygon", "LineString", "shape"});
    ns.bind_from("shapely.ops", {"transform"});
    ns.bind_from("pyproj", {"Transformer", "CRS"});
    ns.bind_from("logger", {"get_logger"});

    // 3-4. Off-screen rendering; serif fonts, the first installed family wins.
    ns["mpl"].attr("use")("Agg");
    object rc = ns["mpl"].attr("rcParams");
    rc["font.family"] = "serif";
    nb::list serif;
    for (const char* family : {"DejaVu Serif", "Liberation Serif", "Times New Roman", "serif"}) serif.append(family);
    rc["font.serif"] = serif;

    // 5-6. The host's logger.
    ns.set("logger", ns["get_logger"]());
    bound::logger().attr("info")("Loaded plots.py module");

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
    module_state.own_projection.remember();  // what a plan's batch reader checks for
}
