// catalogue.cpp: LAYER_CONFIG, the five layers as plain Python data, and get_zoom_config.
#include "startup.hpp"

#include "core/tile_rules.hpp"

#include <climits>

namespace vexa::maptile {

namespace bound {
object get_zoom_config() { return ns()["get_zoom_config"]; }
}  // namespace bound

namespace {

/// A zoom as a number to compare with band bounds; integers of any size are clamped, which
/// keeps every comparison with the small bounds exact.
double zoom_number(handle zoom) {
    if (PyLong_Check(zoom.ptr())) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(zoom.ptr(), &overflow);
        if (overflow) return overflow > 0 ? double(LLONG_MAX) : double(LLONG_MIN);
        if (value == -1 && PyErr_Occurred()) raise_current();
        return double(value);
    }
    return number(zoom);
}

object get_zoom_config(Args& a) {
    handle zoom = a["zoom"], layer_name = a["layer_name"];
    object layers = bound::LAYER_CONFIG();
    object record = layers.attr("get")(layer_name, nb::dict());
    auto band = tiles::zoom_band(zoom_number(zoom), zoom_number(min_zoom_of(record)));
    if (!band) return nb::none();
    nb::dict config;
    config["tolerance"] = band->tolerance;
    config["feature_limit"] = band->feature_limit;
    config["buffer"] = band->buffer;
    config["cache_ttl"] = band->long_lived ? bound::CACHE_TTL_LONG() : bound::CACHE_TTL_SHORT();
    return config;
}

}  // namespace

void define_catalogue() {
    nb::dict layers;
    for (const tiles::LayerDef& layer : tiles::catalogue()) {
        nb::list properties;
        for (const char* column : layer.properties) properties.append(pystr(tiles::quoted(column)));
        nb::dict record;
        record["table"] = pystr(tiles::quoted_table(layer));
        record["id_col"] = pystr(tiles::quoted(layer.id_col));
        record["geom_col"] = pystr(tiles::quoted(layer.geom_col));
        record["properties"] = properties;
        record["min_zoom"] = layer.min_zoom;
        layers[layer.name] = record;
    }
    ns().set("LAYER_CONFIG", layers);
}

void define_zoom_config() {
    define({.name = "get_zoom_config",
            .doc = "Get optimized zoom configuration with better low-zoom support.",
            .params = {{"zoom", builtin::int_type()}, {"layer_name", builtin::str_type()}},
            .sync_body = get_zoom_config});
}

}  // namespace vexa::maptile
