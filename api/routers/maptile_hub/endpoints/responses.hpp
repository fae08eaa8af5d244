// responses.hpp: the answers the tile module gives: raised HTTP errors, tiles, 204, envelopes.
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

/// Raise the framework's HTTPException(status_code=status, detail=detail); `context`, when
/// given, is the error being answered (its __context__, as a raise inside `except` sets it).
[[noreturn]] void raise_http(int status, const std::string& detail, handle context = handle());

/// The same with a Retry-After header of `seconds`: a refusal that passes (429, 503).
[[noreturn]] void raise_retry_later(int status, const std::string& detail, int seconds, handle context = handle());

/// The framework's Response with raw tile bytes, the vector tile media type and `headers`.
object tile_response(handle content, handle headers);

/// A tile answered from the cache: "Cache-Control" "public, max-age=" + `ttl`, "X-Cache" "HIT".
object cached_tile_answer(handle content, handle ttl);

/// The framework's empty 204 response.
object no_content();

/// api_router_response(api_response(data=payload)), the host's envelope of a payload.
object enveloped(handle payload);

}  // namespace vexa::maptile
