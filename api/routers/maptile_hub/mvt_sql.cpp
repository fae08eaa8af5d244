// mvt_sql.cpp: generate_mvt_sql, the PostGIS statement of one XYZ vector tile.
#include "mvt_sql.hpp"

#include "catalogue.hpp"
#include "tile_rules.hpp"

namespace vexa::maptile {

namespace bound {
object generate_mvt_sql() { return ns()["generate_mvt_sql"]; }
}  // namespace bound

namespace {

long long integer(handle value) { return nb::cast<long long>(value); }

object generate_mvt_sql(Args& a) {
    handle layer_name = a["layer_name"], zoom = a["zoom"];
    object layers = bound::LAYER_CONFIG();
    if (!contains(layers, layer_name)) raise(PyExc_ValueError, "Unknown layer: " + text(layer_name));
    object layer = item(layers, layer_name);

    // An absent zoom is served as zoom 10 throughout; zoom 0 takes zoom 10's configuration
    // but keeps the bounding-box-only filter of the low zooms.
    object zoom_arg = zoom.is_none() ? object(nb::int_(10)) : nb::borrow(zoom);
    object effective = truthy(zoom) ? nb::borrow(zoom) : object(nb::int_(10));
    object zoom_config = bound::get_zoom_config()(effective, layer_name);
    if (zoom_config.is_none())
        raise(PyExc_ValueError,
              "Layer " + text(layer_name) + " not available at zoom level " + text(zoom_arg));

    std::vector<std::string> columns;
    for (handle column : item(layer, "properties")) columns.push_back(text(column));
    object global_cap = bound::MAX_FEATURES_GLOBAL();
    long long feature_limit = std::min(integer(item(zoom_config, "feature_limit")), integer(global_cap));
    object above_six = steal(PyObject_RichCompare(zoom_arg.ptr(), nb::int_(6).ptr(), Py_GT));

    std::string sql = tiles::mvt_sql({.layer_name = text(layer_name),
                                      .table = text(item(layer, "table")),
                                      .id_col = text(item(layer, "id_col")),
                                      .geom_col = text(item(layer, "geom_col")),
                                      .properties = tiles::join_columns(columns),
                                      .tolerance = integer(item(zoom_config, "tolerance")),
                                      .feature_limit = feature_limit,
                                      .buffer = integer(item(zoom_config, "buffer")),
                                      .exact_filter = truthy(above_six)});
    return nb::make_tuple(pystr(sql), zoom_config);
}

}  // namespace

void define_mvt_sql() {
    object optional_int = nb::module_::import_("typing").attr("Optional")[builtin::int_type()];
    define({.name = "generate_mvt_sql",
            .doc = "Generate MVT SQL with better low-zoom handling.\n\n"
                   "An absent zoom is served as zoom 10 throughout (its configuration and the\n"
                   "exact-intersection filter); zoom 0 uses zoom 10's configuration with the\n"
                   "bounding-box filter of the low zooms. Returns (sql, zoom_config).",
            .params = {{"layer_name", builtin::str_type()}, {"zoom", optional_int, nb::none()}},
            .sync_body = generate_mvt_sql});
}

}  // namespace vexa::maptile
