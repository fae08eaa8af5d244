// mvt_sql.cpp: the tile statements of each layer, built once per layer and shape, and
// generate_mvt_sql, the PostGIS statement of one XYZ vector tile.
#include "mvt_sql.hpp"

#include "startup.hpp"

#include <algorithm>
#include <map>
#include <tuple>

namespace vexa::maptile {

namespace bound {
object generate_mvt_sql() { return ns()["generate_mvt_sql"]; }
}  // namespace bound

namespace {

/// The statements built so far, by layer and shape, and the catalogue's own records they were
/// built from.
struct StatementTable {
    using Key = std::tuple<std::string, long long, long long, std::string, bool>;
    std::map<Key, object> statements;
    std::map<std::string, object> records;
};

StatementTable& state() { return kept<StatementTable>(); }

/// The statement of `shape` built from a LAYER_CONFIG record's texts.
std::string built_from(handle layer_name, handle record, const StatementShape& shape) {
    std::vector<std::string> columns;
    for (handle column : item(record, "properties")) columns.push_back(text(column));
    return tiles::tile_sql({.layer_name = text(layer_name),
                            .table = text(item(record, "table")),
                            .id_col = text(item(record, "id_col")),
                            .geom_col = text(item(record, "geom_col")),
                            .properties = tiles::join_columns(columns),
                            .tolerance = shape.tolerance,
                            .buffer = shape.buffer,
                            .limit = shape.limit,
                            .exact_filter = shape.exact});
}

long long integer(handle value) { return nb::cast<long long>(value); }

object generate_mvt_sql(Args& a) {
    handle layer_name = a["layer_name"], zoom = a["zoom"];
    object layers = bound::LAYER_CONFIG();
    if (!contains(layers, layer_name)) raise(PyExc_ValueError, "Unknown layer: " + text(layer_name));

    // An absent zoom is served as zoom 10 throughout; zoom 0 takes zoom 10's configuration
    // but keeps the bounding-box-only filter of the low zooms.
    object zoom_arg = zoom.is_none() ? object(nb::int_(10)) : nb::borrow(zoom);
    object effective = truthy(zoom) ? nb::borrow(zoom) : object(nb::int_(10));
    object zoom_config = bound::get_zoom_config()(effective, layer_name);
    if (zoom_config.is_none())
        raise(PyExc_ValueError, "Layer " + text(layer_name) + " not available at zoom level " + text(zoom_arg));

    const long long feature_limit =
        std::min(integer(item(zoom_config, "feature_limit")), integer(bound::MAX_FEATURES_GLOBAL()));
    const StatementShape shape{.tolerance = integer(item(zoom_config, "tolerance")),
                               .buffer = integer(item(zoom_config, "buffer")),
                               .limit = std::to_string(feature_limit),
                               .exact = compare(zoom_arg, nb::int_(6), Py_GT)};
    return nb::make_tuple(tile_statement(layer_name, item(layers, layer_name), shape), zoom_config);
}

}  // namespace

object tile_statement(handle layer_name, handle record, const StatementShape& shape) {
    StatementTable& table = state();
    const std::string name = text(layer_name);
    auto own = table.records.find(name);
    if (own == table.records.end() || !compare(record, own->second, Py_EQ))
        return pystr(built_from(layer_name, record, shape));
    StatementTable::Key key{name, shape.tolerance, shape.buffer, shape.limit, shape.exact};
    auto found = table.statements.find(key);
    if (found == table.statements.end())
        found = table.statements.emplace(key, pystr(built_from(layer_name, record, shape))).first;
    return found->second;
}

void define_mvt_sql() {
    // The records as start-up made them: statements built from them are kept.
    object copy = nb::module_::import_("copy").attr("deepcopy");
    for (auto [name, record] : nb::borrow<nb::dict>(bound::LAYER_CONFIG())) state().records[text(name)] = copy(record);
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
