// module_names.cpp: the plots module's namespace and the bound:: names of its start-up.
#include "module_names.hpp"

namespace vexa::plots {

Namespace& ns() {
    static Namespace module_namespace;
    return module_namespace;
}

namespace bound {
object logger() { return ns()["logger"]; }
object TRANSFORMER() { return ns()["TRANSFORMER"]; }
object shape() { return ns()["shape"]; }
object transform() { return ns()["transform"]; }
object Polygon() { return ns()["Polygon"]; }
object np() { return ns()["np"]; }
object plt() { return ns()["plt"]; }
object patches() { return ns()["patches"]; }
object io() { return ns()["io"]; }
object base64() { return ns()["base64"]; }
object project_geometry() { return ns()["project_geometry"]; }
object get_recommended_scale() { return ns()["get_recommended_scale"]; }
object add_north_arrow() { return ns()["add_north_arrow"]; }
object add_scale_bar() { return ns()["add_scale_bar"]; }
object draw_beacon_labels() { return ns()["draw_beacon_labels"]; }
}  // namespace bound

}  // namespace vexa::plots
