// module.cpp: start-up of vexa.plots: the plotting library set up for off-screen rendering with
// serif fonts, the host's logger, the EPSG:3857 -> EPSG:26332 transformer, and the functions.
// Nothing includes this file: each concern's header declares what start-up calls of it.
#include "beacons.hpp"
#include "coordinate_batch.hpp"
#include "module_names.hpp"
#include "north_arrow.hpp"
#include "plan.hpp"
#include "projection.hpp"
#include "scale.hpp"
#include "scale_bar.hpp"

using namespace vexa;
using namespace vexa::plots;

NB_MODULE(plots, m) {
    Namespace& ns = plots::ns();
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
    remember_own_projection();  // what a plan's batch reader checks for
}
