// responses.cpp: raised HTTP errors, tile answers, 204 and the host's envelope.
#include "responses.hpp"

namespace vexa::maptile {

namespace {

[[noreturn]] void raise_error(object error, handle context) {
    if (context.is_valid()) PyException_SetContext(error.ptr(), Py_NewRef(context.ptr()));
    set_exception(error);
    throw nb::python_error();
}

}  // namespace

void raise_http(int status, const std::string& detail, handle context) {
    raise_error(bound::HTTPException()(nb::arg("status_code") = status, nb::arg("detail") = pystr(detail)), context);
}

void raise_retry_later(int status, const std::string& detail, int seconds, handle context) {
    nb::dict headers;
    headers["Retry-After"] = pystr(std::to_string(seconds));
    raise_error(bound::HTTPException()(nb::arg("status_code") = status, nb::arg("detail") = pystr(detail),
                                       nb::arg("headers") = headers),
                context);
}

object tile_response(handle content, handle headers) {
    return bound::Response()(nb::arg("content") = content, nb::arg("media_type") = "application/vnd.mapbox-vector-tile",
                             nb::arg("headers") = headers);
}

object cached_tile_answer(handle content, handle ttl) {
    nb::dict headers;
    headers["Cache-Control"] = pystr("public, max-age=" + text(ttl));
    headers["X-Cache"] = "HIT";
    return tile_response(content, headers);
}

object no_content() { return bound::Response()(nb::arg("status_code") = 204); }

object enveloped(handle payload) {
    return bound::api_router_response()(bound::api_response()(nb::arg("data") = payload));
}

}  // namespace vexa::maptile
