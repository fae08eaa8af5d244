// layer_info.cpp: what a map client may ask for: a layer's zoom levels, the list of layers, and
// the service's health.
#include "cache/cache.hpp"
#include "startup.hpp"
#include "cache/freshness.hpp"
#include "guarded.hpp"
#include "guards.hpp"
#include "sql/query_failure.hpp"
#include "responses.hpp"
#include "core/sql_template.hpp"
#include "sql/transaction.hpp"

namespace vexa::maptile {

namespace {

/// A dict of texts, in the order given.
nb::dict texts(std::initializer_list<std::pair<const char*, const char*>> entries) {
    nb::dict out;
    for (const auto& [key, value] : entries) out[key] = value;
    return out;
}

const char* simplification(handle tolerance) {
    if (compare(tolerance, nb::int_(500), Py_GT)) return "heavy";
    if (compare(tolerance, nb::int_(100), Py_GT)) return "moderate";
    if (compare(tolerance, nb::int_(0), Py_GT)) return "light";
    return "none";
}

Coro get_layer_zoom_info(Args& a) {
    handle layer_name = a["layer_name"];
    require_layer(layer_name);
    object config = item(bound::LAYER_CONFIG(), layer_name);
    nb::dict zoom_levels;
    for (int zoom = 1; zoom <= 20; ++zoom) {
        object zoom_config = bound::get_zoom_config()(zoom, layer_name);
        nb::dict level;
        if (!zoom_config.is_none() && truthy(zoom_config)) {
            object tolerance = item(zoom_config, "tolerance");
            level["available"] = true;
            level["tolerance"] = tolerance;
            level["feature_limit"] = item(zoom_config, "feature_limit");
            level["simplification"] = simplification(tolerance);
        } else {
            level["available"] = false;
        }
        zoom_levels[nb::int_(zoom)] = level;
    }
    nb::dict recommendations = texts({{"world_view", "Use 'lgas' or 'districts' for zoom 1-6"},
                                      {"regional_view", "Use 'cadzones' for zoom 4-10"},
                                      {"detailed_view", "Use 'plots' for zoom 8+"},
                                      {"precise_view", "Use 'beacons' for zoom 12+"}});
    nb::dict payload;
    payload["layer"] = layer_name;
    payload["min_zoom"] = min_zoom_of(config);
    payload["zoom_levels"] = zoom_levels;
    payload["recommendations"] = recommendations;
    co_return enveloped(payload);
}

Coro get_available_layers(Args&) {
    nb::dict layers_info;
    for (auto [name, config] : nb::borrow<nb::dict>(bound::LAYER_CONFIG())) {
        const std::string base = "/gis/" + text(name);
        nb::dict endpoints;
        endpoints["xyz"] = pystr(base + "/{z}/{x}/{y}.pbf");
        endpoints["bbox"] = pystr(base + "/bbox/");
        endpoints["info"] = pystr(base + "/");
        endpoints["zoom_info"] = pystr(base + "/zoom-info/");
        nb::dict layer;
        layer["name"] = name;
        layer["min_zoom"] = min_zoom_of(config);
        layer["properties"] = item(config, "properties");
        layer["table"] = item(config, "table");
        layer["endpoints"] = endpoints;
        layers_info[name] = layer;
    }
    nb::dict usage_guide = texts({{"world_zoom_1_4", "Use 'lgas' layer"},
                                  {"country_zoom_5_7", "Use 'districts' or 'lgas' layer"},
                                  {"regional_zoom_6_10", "Use 'cadzones' layer"},
                                  {"local_zoom_8_14", "Use 'plots' layer"},
                                  {"detail_zoom_12_20", "Use 'beacons' layer"}});
    nb::dict payload;
    payload["layers"] = layers_info;
    payload["total_layers"] = nb::int_(layers_info.size());
    payload["usage_guide"] = usage_guide;
    co_return enveloped(payload);
}

Coro health_check(Args&) {
    OnError unhealthy;  // any failure of the read, its time-out included
    object read = co_await guarded(
        []() -> Coro {
            Coro reading = within(bound::cache().attr("get")("health_check"), 2.0);
            co_await std::move(reading);
            co_return nb::bool_(true);
        }(),
        unhealthy);
    nb::list layers;
    for (handle name : nb::borrow<nb::dict>(bound::LAYER_CONFIG()).keys()) layers.append(name);
    nb::dict content;
    content["status"] = "healthy";
    content["cache_status"] = truthy(read) ? "healthy" : "unhealthy";
    content["available_layers"] = layers;
    content["zoom_support"] = "1-20 with layer-specific minimums";
    co_return bound::JSONResponse()(content);
}

}  // namespace

object make_get_layer_zoom_info() {
    return define({.name = "get_layer_zoom_info",
                   .doc = "Get zoom level information for a layer.",
                   .params = {{"layer_name", builtin::str_type()}},
                   .async_body = get_layer_zoom_info});
}

object make_get_available_layers() {
    return define({.name = "get_available_layers",
                   .doc = "Get list of available layers and their configurations.",
                   .async_body = get_available_layers});
}

object make_health_check() {
    return define({.name = "health_check", .doc = "Health check endpoint for monitoring.", .async_body = health_check});
}

}  // namespace vexa::maptile
