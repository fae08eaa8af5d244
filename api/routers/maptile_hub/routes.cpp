// routes.cpp: the operations of maptileHub. The fixed paths "/layers/" and "/health/" are
// registered before "/{layer_name}/" so that they win.
#include "module.hpp"

namespace vexa::maptile {

namespace {

void route(const char* method, const char* path, handle handler, bool raw) {
    object router = ns["maptileHub"];
    object decorator = raw ? router.attr(method)(path, nb::arg("response_class") = ns["Response"])
                           : router.attr(method)(path);
    decorator(handler);
}

}  // namespace

void register_routes() {
    route("get", "/{layer_name}/{z}/{x}/{y}.pbf", make_get_tile_xyz(), true);
    route("get", "/{layer_name}/zoom-info/", make_get_layer_zoom_info(), false);
    route("get", "/{layer_name}/bbox/", make_get_tile_bbox(), true);
    route("get", "/layers/", make_get_available_layers(), false);
    route("get", "/health/", make_health_check(), false);
    route("get", "/{layer_name}/", make_get_central_tile_info(), false);
    route("post", "/cache/invalidate/{layer_name}", make_invalidate_cache_endpoint(), false);
}

}  // namespace vexa::maptile
