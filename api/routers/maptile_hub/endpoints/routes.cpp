// routes.cpp: the operations of maptileHub, with the answers each documents. The fixed paths
// "/layers/" and "/health/" are registered before "/{layer_name}/" so that they win.
#include "startup.hpp"

namespace vexa::maptile {

namespace {

/// The framework's error body, {"detail": text}, as an OpenAPI response of `description`.
nb::dict error_answer(const char* description) {
    nb::dict detail, properties, schema, json, content, answer;
    detail["type"] = "string";
    properties["detail"] = detail;
    schema["type"] = "object";
    schema["properties"] = properties;
    schema["required"] = nb::make_tuple("detail");
    json["schema"] = schema;
    content["application/json"] = json;
    answer["description"] = description;
    answer["content"] = content;
    return answer;
}

/// A 200 answer of `media_type`, described as `description`.
nb::dict media_answer(const char* media_type, const char* description) {
    nb::dict media, content, ok;
    media["schema"] = nb::dict();
    content[media_type] = media;
    ok["description"] = description;
    ok["content"] = content;
    return ok;
}

/// The documented answers: `codes` of error answers, and for tiles the tile media type and 204.
nb::dict answers(std::initializer_list<int> codes, bool tile) {
    nb::dict responses;
    if (tile) {
        responses[nb::int_(200)] = media_answer("application/vnd.mapbox-vector-tile", "The vector tile");
        nb::dict empty;
        empty["description"] = "No features here, or the layer is not served at this zoom";
        responses[nb::int_(204)] = empty;
    }
    for (int code : codes) {
        const char* what = code == 400 ? "Invalid request values" : code == 404 ? "Unknown layer, or no geometry"
                         : code == 408 ? "The query exceeded its time limit" : code == 429 ? "Rate limit exceeded"
                         : code == 503 ? "Not now: the database, the cache or the worker could not serve it (Retry-After)"
                                       : "Database or unexpected failure";
        responses[nb::int_(code)] = error_answer(what);
    }
    return responses;
}

/// The answers of an event stream: its media type, and the refusals past the worker's bounds
/// on open streams.
nb::dict event_stream_answer() {
    nb::dict responses;
    responses[nb::int_(200)] = media_answer("text/event-stream", "Server-sent events");
    responses[nb::int_(429)] = error_answer("Too many streams open from this client address: ask again after Retry-After");
    responses[nb::int_(503)] = error_answer("Too many streams open on this worker: ask again after Retry-After");
    return responses;
}

void route(const char* method, const char* path, handle handler, bool raw, nb::dict responses) {
    object router = ns()["maptileHub"];
    object decorator = raw ? router.attr(method)(path, nb::arg("response_class") = bound::Response(),
                                                 nb::arg("responses") = responses)
                           : router.attr(method)(path, nb::arg("responses") = responses);
    decorator(handler);
}

}  // namespace

void register_routes() {
    // "all" is no layer: its route comes before the layers' own.
    route("get", "/all/{z}/{x}/{y}.pbf", make_get_all_layers_tile(), true, answers({400, 408, 429, 500}, true));
    route("get", "/{layer_name}/{z}/{x}/{y}.pbf", make_get_tile_xyz(), true, answers({400, 404, 408, 429, 500}, true));
    route("get", "/{layer_name}/zoom-info/", make_get_layer_zoom_info(), false, answers({404}, false));
    route("get", "/{layer_name}/bbox/", make_get_tile_bbox(), true, answers({400, 404, 408, 429, 500, 503}, true));
    route("get", "/layers/", make_get_available_layers(), false, answers({}, false));
    route("get", "/health/", make_health_check(), false, answers({}, false));
    route("get", "/{layer_name}/", make_get_central_tile_info(), false, answers({404, 408, 500}, false));
    route("post", "/cache/invalidate/{layer_name}", make_invalidate_cache_endpoint(), false,
          answers({404, 503}, false));
    route("get", "/tilejson.json", make_get_all_layers_tilejson(), false, answers({408, 500}, false));
    route("get", "/{layer_name}/tilejson.json", make_get_tilejson(), false, answers({404, 408, 500}, false));
    route("get", "/tile-versions", make_tile_versions(), false, event_stream_answer());
}

}  // namespace vexa::maptile
