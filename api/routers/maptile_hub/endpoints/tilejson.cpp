// tilejson.cpp: TileJSON 3.0.0 documents, one per layer and one for all layers: the tile URL
// template carrying the layer's current version, the zoom range, bounds and centre from the
// data, and the fields of each vector layer.
#include "centroid.hpp"
#include "cache/freshness.hpp"
#include "guards.hpp"
#include "startup.hpp"
#include "core/tile_rules.hpp"
#include "sql/transaction.hpp"

#include <algorithm>
#include <unordered_map>

namespace vexa::maptile {

namespace {

/// The fields of each layer's vector layer (read once from the database).
struct TileJsonState {
    std::unordered_map<std::string, object> layer_fields;
};

TileJsonState& state() { return kept<TileJsonState>(); }

}  // namespace

namespace {

// The columns of one table and their types.
constexpr const char* COLUMNS_SQL = R"(
        SELECT column_name, data_type FROM information_schema.columns
        WHERE table_schema = :schema AND table_name = :table
    )";

/// A TileJSON field type for a PostgreSQL data type.
const char* field_type(const std::string& data_type) {
    static const char* const numbers[] = {"smallint", "integer", "bigint", "numeric", "real", "double precision"};
    for (const char* number_type : numbers)
        if (data_type == number_type) return "Number";
    return data_type == "boolean" ? "Boolean" : "String";
}

/// The vector layer's fields: its property columns, then feature_id, each with the type of its
/// column. Read once per process (the catalogue is fixed), with `db`.
Coro fields_of(handle layer_name, handle db) {
    const std::string layer = text(layer_name);
    auto& known = state().layer_fields;
    if (auto found = known.find(layer); found != known.end()) co_return found->second;
    const tiles::LayerDef& catalogue_entry = catalogued(layer_name);
    Held bind = nb::dict();
    bind["schema"] = pystr(catalogue_entry.schema);
    bind["table"] = pystr(catalogue_entry.table);
    object statement = bound::text()(COLUMNS_SQL);
    Held rows = co_await timed_query(nb::borrow(db), std::move(statement), bind, 5.0, "all");
    nb::dict types;
    for (handle row : rows) types[row[nb::int_(0)]] = pystr(field_type(text(row[nb::int_(1)])));
    nb::dict fields;
    for (const char* column : catalogue_entry.properties) {
        nb::str name = pystr(column);
        fields[name] = types.contains(name) ? object(types[name]) : object(pystr("String"));
    }
    nb::str id = pystr(catalogue_entry.id_col);
    fields["feature_id"] = types.contains(id) ? object(types[id]) : object(pystr("Number"));
    known[layer] = fields;
    co_return fields;
}

/// Whether `host` (a Host header's name, lower case) names `server`, the address the connection
/// came to: the same name or address, or a loopback name for a loopback address.
bool names_the_server(const std::string& host, const std::string& server) {
    if (host == server) return true;
    auto loopback = [](const std::string& name) {
        return name == "localhost" || name == "::1" || name.rfind("127.", 0) == 0 || name.rfind("::ffff:127.", 0) == 0;
    };
    return loopback(server) && loopback(host);
}

/// The service's address as its clients reach it, without a trailing slash: PUBLIC_URL when the
/// host configured one; otherwise the request's own, whose Host header is believed only when it
/// names the address the connection came to (or a loopback name for a loopback address). Any
/// other Host is a client's word, and the URLs written for it name this server's address instead,
/// so that a forged Host never comes back as the map's tile server.
std::string public_base(handle request) {
    object configured = ns()["PUBLIC_URL"];
    std::string base;
    if (!configured.is_none() && !(base = text(configured)).empty()) {
        while (!base.empty() && base.back() == '/') base.pop_back();
        return base;
    }
    object url = request.attr("base_url");
    object server = item_or(request.attr("scope"), "server", nb::none());
    object hostname = url.attr("hostname");
    std::string address = server.is_none() ? std::string() : text(item(server, nb::int_(0)));
    const bool believed = address.empty() || address.front() == '/' ||  // a Unix socket: a local proxy
                          (!hostname.is_none() && names_the_server(text(hostname.attr("lower")()),
                                                                   text(pystr(address).attr("lower")())));
    if (!believed) {
        static bool told = false;  // once per process: a deployment reached by a name wants PUBLIC_URL
        if (!told)
            log("warning", "TileJSON: the Host " + text(nb::repr(hostname)) + " does not name this server (" + address +
                               "): its tile URLs name the server's own address; set VEXA_PUBLIC_URL to the address "
                               "clients reach the service at");
        told = true;
        if (address.find(':') != std::string::npos) address = "[" + address + "]";
        object port = item(server, nb::int_(1));  // None: the scheme's own
        url = url.attr("replace")(nb::arg("netloc") = pystr(port.is_none() ? address : address + ":" + text(port)));
    }
    base = text(url);
    if (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

/// The URL of the tiles under `path` ("plots/{z}/{x}/{y}.pbf"), at the service's public address
/// and the router's prefix, with the version `version` when it is known.
std::string tiles_url(handle request, const std::string& path, const std::string& version) {
    const std::string url = public_base(request) + text(ns()["maptileHub"].attr("prefix")) + "/" + path;
    return version.empty() ? url : url + "?v=" + version;
}

/// A rectangle in degrees.
struct Degrees {
    double west, south, east, north;
};

/// The whole grid of the tiles, in degrees.
constexpr Degrees WORLD{-180, -85.0511287798066, 180, 85.0511287798066};

/// An extent in EPSG:3857 (a mapping with minx, miny, maxx, maxy) in degrees.
Degrees degrees_of(handle extent) {
    const tiles::LonLat low = tiles::lonlat_of(number(item(extent, "minx")), number(item(extent, "miny")));
    const tiles::LonLat high = tiles::lonlat_of(number(item(extent, "maxx")), number(item(extent, "maxy")));
    return {low.lon, low.lat, high.lon, high.lat};
}

nb::list as_list(const Degrees& d) {
    nb::list bounds;
    for (double v : {d.west, d.south, d.east, d.north}) bounds.append(v);
    return bounds;
}

nb::dict vector_layer(handle layer_name, handle fields, long long minzoom) {
    nb::dict layer;
    layer["id"] = layer_name;
    layer["description"] = pystr("Cadastral layer " + text(layer_name));
    layer["fields"] = fields;
    layer["minzoom"] = minzoom;
    layer["maxzoom"] = tiles::MAX_TILE_ZOOM;
    return layer;
}

/// A document's fields in TileJSON's order.
nb::dict document(const std::string& name, const std::string& description, const std::string& url, long long minzoom,
                  nb::list bounds, nb::list center, nb::list vector_layers) {
    nb::dict doc;
    doc["tilejson"] = "3.0.0";
    doc["name"] = pystr(name);
    doc["description"] = pystr(description);
    doc["scheme"] = "xyz";
    nb::list tiles;
    tiles.append(pystr(url));
    doc["tiles"] = tiles;
    doc["minzoom"] = minzoom;
    doc["maxzoom"] = tiles::MAX_TILE_ZOOM;
    doc["bounds"] = bounds;
    doc["center"] = center;
    doc["vector_layers"] = vector_layers;
    return doc;
}

std::string version_of(handle versions, handle layer_name) {
    return versions.is_none() ? std::string() : text(item(versions, layer_name));
}

Coro get_tilejson(Args& a) {
    handle layer_name = a["layer_name"], request = a["request"], db = a["db"];
    require_layer(layer_name);
    const long long minzoom = nb::cast<long long>(min_zoom_of(item(bound::LAYER_CONFIG(), layer_name)));
    Held versions = co_await read_versions();
    Held centroid = co_await layer_centroid(layer_name, db);
    Held fields = co_await fields_of(layer_name, db);

    const Degrees bounds = centroid.is_none() ? WORLD : degrees_of(item(centroid, "extent_web_mercator"));
    nb::list center;
    if (centroid.is_none()) {
        center.append(0.0);
        center.append(0.0);
    } else {
        center.append(item(item(centroid, "centroid_wgs84"), "longitude"));
        center.append(item(item(centroid, "centroid_wgs84"), "latitude"));
    }
    center.append(std::max(minzoom, nb::cast<long long>(bound::DEFAULT_CENTROID_ZOOM())));
    nb::list vector_layers;
    vector_layers.append(vector_layer(layer_name, fields, minzoom));
    const std::string url =
        tiles_url(request, text(layer_name) + "/{z}/{x}/{y}.pbf", version_of(versions, layer_name));
    co_return bound::JSONResponse()(document(text(layer_name), "Cadastral layer " + text(layer_name), url, minzoom,
                                             as_list(bounds), center, vector_layers));
}

Coro get_all_layers_tilejson(Args& a) {
    handle request = a["request"], db = a["db"];
    Held versions = co_await read_versions();
    Held layers = nb::list(bound::LAYER_CONFIG());
    Held vector_layers = nb::list();
    long long minzoom = tiles::MAX_TILE_ZOOM;
    Degrees bounds{180, 90, -180, -90};  // grows by every layer's extent
    std::string version;
    for (handle layer_name : layers) {
        const long long layer_min = nb::cast<long long>(min_zoom_of(item(bound::LAYER_CONFIG(), layer_name)));
        minzoom = std::min(minzoom, layer_min);
        Held centroid = co_await layer_centroid(layer_name, db);
        if (!centroid.is_none()) {
            const Degrees d = degrees_of(item(centroid, "extent_web_mercator"));
            bounds = {std::min(bounds.west, d.west), std::min(bounds.south, d.south), std::max(bounds.east, d.east),
                      std::max(bounds.north, d.north)};
        }
        Held fields = co_await fields_of(layer_name, db);
        nb::borrow<nb::list>(vector_layers).append(vector_layer(layer_name, fields, layer_min));
        if (!versions.is_none()) version += (version.empty() ? "" : "-") + version_of(versions, layer_name);
    }
    if (bounds.east < bounds.west) bounds = WORLD;  // no layer has an extent yet
    nb::list center;
    center.append((bounds.west + bounds.east) / 2);
    center.append((bounds.south + bounds.north) / 2);
    center.append(std::max(minzoom, nb::cast<long long>(bound::DEFAULT_CENTROID_ZOOM())));
    co_return bound::JSONResponse()(document("cadastre", "The five cadastral layers in one tile set",
                                             tiles_url(request, "all/{z}/{x}/{y}.pbf", version), minzoom,
                                             as_list(bounds), center, nb::borrow<nb::list>(vector_layers)));
}

}  // namespace

object make_get_tilejson() {
    return define({.name = "get_tilejson",
                   .doc = "TileJSON 3.0.0 of one layer: its tile URL (carrying the layer's current version), zoom "
                          "range, bounds, centre and fields.",
                   .params = {{"layer_name", builtin::str_type()},
                              {"request", ns()["Request"]},
                              {"db", ns()["AsyncSession"], ns()["Depends"](ns()["get_db"])}},
                   .async_body = get_tilejson});
}

object make_get_all_layers_tilejson() {
    return define({.name = "get_all_layers_tilejson",
                   .doc = "TileJSON 3.0.0 of all five layers in one tile set (/gis/all/{z}/{x}/{y}.pbf).",
                   .params = {{"request", ns()["Request"]}, {"db", ns()["AsyncSession"], ns()["Depends"](ns()["get_db"])}},
                   .async_body = get_all_layers_tilejson});
}

}  // namespace vexa::maptile
